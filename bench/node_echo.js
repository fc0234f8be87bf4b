// The comparison server: the ws package's WebSocket server over https,
// echoing each text message back.  node node_echo.js PORT KEY CHAIN
const fs = require("fs");
const https = require("https");
const { WebSocketServer } = require("ws");

const [port, key, chain] = process.argv.slice(2);
const server = https.createServer({ key: fs.readFileSync(key), cert: fs.readFileSync(chain) });
const wss = new WebSocketServer({ server });
wss.on("connection", (socket) => {
  socket.on("message", (data, isBinary) => socket.send(data, { binary: isBinary }));
});
server.listen(Number(port), "127.0.0.1", () => console.log("ready"));
