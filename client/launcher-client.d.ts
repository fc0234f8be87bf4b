// Type declarations for launcher-client.js, the page side of the launcher's
// protocol. See README.md beside this file.

/** The ports the launcher may listen on, tried in this order. */
export declare const PORTS: readonly number[];
/** What each LOAD "result" (0 to 6) means. */
export declare const LOAD_RESULTS: Readonly<Record<number, string>>;
/** What each "error" (1 to 3) of a LOAD result 5 means. */
export declare const REGISTRATION_ERRORS: Readonly<Record<number, string>>;
/** What each "error" (0 to 5) of an install's final message means. */
export declare const INSTALL_ERRORS: Readonly<Record<number, string>>;
/**
 * The message of the "not-found" error with the default ports: the causes a
 * page cannot tell apart (not running, certificate not trusted, origin not
 * allowed, Local Network Access denied, connect-src). With other ports the
 * message names those.
 */
export declare const NOT_FOUND_MESSAGE: string;

/** The client's connection state. */
export type ConnectionState = "closed" | "connecting" | "open";
/**
 * The catalogue's state from HELLO's "ready": 1 "ready" (fetched since the
 * launcher started), 0 "fetching", -1 "unavailable" (the last fetch failed);
 * "unknown" while not connected.
 */
export type ReadyState = "ready" | "fetching" | "unavailable" | "unknown";

/**
 * Why a promise of this library was rejected:
 * - "not-found": no launcher answered on any port (see NOT_FOUND_MESSAGE and `attempts`);
 * - "outdated": only launchers older than minVersion answered;
 * - "not-connected": the call needs an open connection;
 * - "closed": the connection closed (or close() was called) while it was pending (`closeCode`);
 * - "aborted": the call's signal aborted;
 * - "timeout": the call's time-out passed (or its signal aborted with a
 *   TimeoutError), or the launcher did not answer within replyTimeout or an
 *   install sent nothing for installTimeout (then the connection is dropped);
 * - "load-failed": LOAD answered 1, 5 or 6, or the install failed;
 * - "too-large": a message above maxMessageBytes was not sent;
 * - "overflow": messages() with overflow "error" had more unread frames than bufferSize.
 */
export type LauncherErrorCode =
  | "not-found"
  | "outdated"
  | "not-connected"
  | "closed"
  | "aborted"
  | "timeout"
  | "load-failed"
  | "too-large"
  | "overflow";

/** What one port did while connect() looked for the launcher. */
export interface PortAttempt {
  port: number;
  /**
   * - "refused": closed before the WebSocket opened: nothing listens, the
   *   certificate is not trusted, the origin is not allowed (403), or Local
   *   Network Access was denied; a page cannot tell which;
   * - "blocked": the browser would not open it (a Content-Security-Policy, say);
   * - "timeout": neither opened nor failed within handshakeTimeout;
   * - "closed": opened, then closed before answering HELLO;
   * - "silent": opened, no HELLO answer within handshakeTimeout;
   * - "outdated": a launcher older than minVersion;
   * - "declined": accept() returned false;
   * - "accepted": the connection kept.
   */
  outcome: "refused" | "blocked" | "timeout" | "closed" | "silent" | "outdated" | "declined" | "accepted";
  /** The launcher's version, for the outcomes after a HELLO answer. */
  version?: string;
  /** The browser's message, for "blocked". */
  error?: string;
}

export declare class LauncherError extends Error {
  constructor(code: LauncherErrorCode, message: string, details?: Partial<LauncherErrorDetails> & { cause?: unknown });
  readonly name: "LauncherError";
  readonly code: LauncherErrorCode;
  /** With "not-found" and "outdated": what each port did, in the order tried. */
  readonly attempts?: PortAttempt[];
  /** With "closed": the WebSocket close code (1006 when the launcher went away, 1009 for a message too large, 4000 when the client dropped it). */
  readonly closeCode?: number;
  readonly closeReason?: string;
  /** The module of a failed load() or request(). */
  readonly module?: string;
  /**
   * LOAD's "result" for a failed load(): 1, 5 or 6; or 2, 3 or 4 when the
   * install that followed failed (then installError is set).
   */
  readonly result?: number;
  /** With result 5: 1 the library failed to load, 2 no registerHandler export, 3 no table. */
  readonly registrationError?: number;
  /**
   * The install's final "error": 1 no temporary directory, 2 path too long,
   * 3 download failed, 4 digest mismatch, 5 unpacking failed.
   */
  readonly installError?: number;
}

/** The fields a LauncherError may carry besides code and message. */
export interface LauncherErrorDetails {
  module: string;
  result: number;
  registrationError: number;
  installError: number;
  attempts: PortAttempt[];
  closeCode: number;
  closeReason: string;
}

export interface HelloInfo {
  /** The port of the connection. */
  port: number | null;
  /** The launcher's version, "major.minor.build"; "" when its executable has none. */
  version: string | null;
  ready: ReadyState;
  /** HELLO's "ready" as sent: 1, 0 or -1; null when not connected. */
  readyCode: 1 | 0 | -1 | null;
}

/** At most one report per animation frame (per task in a hidden tab); the last one always comes. */
export interface Progress {
  module: string;
  /** Bytes of the package on disk so far. */
  size: number;
  /** The package's whole size in bytes; 0 when the launcher does not know it yet. */
  total: number;
}

export interface LoadOutcome {
  module: string;
  /** How many installs this load waited for (0 when the module was current). */
  installs: number;
  /** LOAD's answers in order, e.g. [2, 0]: missing, installed, registered. */
  results: number[];
}

/**
 * Bounds one call's wait, as fetch() does. Ending it rejects that call
 * ("aborted" or "timeout") and leaves the connection and any shared work
 * (another caller's load of the same name) as they are.
 */
export interface CallOptions {
  signal?: AbortSignal;
  /** Milliseconds; none when absent, 0, negative, NaN or Infinity. */
  timeout?: number;
}

export interface LoadOptions extends CallOptions {
  /** Called with the install's progress, at most once per animation frame. */
  onProgress?: (progress: Progress) => void;
}

export interface RequestOptions extends CallOptions {
  /** Milliseconds to wait for the reply (10000); 0 or Infinity waits for ever. */
  timeout?: number;
}

export interface MessagesOptions {
  /** Unread frames kept (1000). */
  bufferSize?: number;
  /**
   * What a frame does when bufferSize frames are unread: "drop-oldest" (the
   * default) or "drop-newest" count it in `dropped`; "error" ends the
   * iterator with a LauncherError "overflow" after the buffered frames.
   */
  overflow?: "drop-oldest" | "drop-newest" | "error";
  /** Ends the iterator. */
  signal?: AbortSignal;
}

export interface MessageIterator extends AsyncIterableIterator<ModuleMessage> {
  /** Frames lost to the overflow policy. */
  readonly dropped: number;
}

/** A frame that is not a launcher reply. */
export interface ModuleMessage {
  /** The frame's text, as the module sent it. */
  text: string;
  /** The text parsed as JSON, or undefined when it is not JSON. */
  data: unknown;
}

export interface LauncherClientOptions {
  /** Ports to try, in order ([11651, ..., 11655]). */
  ports?: readonly number[];
  /** Milliseconds a port has to complete its handshake and answer HELLO (3000). */
  handshakeTimeout?: number;
  /**
   * Milliseconds the launcher has to answer HELLO, INITMC or LOAD (15000).
   * A later answer would leave the order of the replies unknown, so the
   * connection is dropped (close code 4000) and the call rejects with "timeout".
   */
  replyTimeout?: number;
  /** Milliseconds an install may send nothing before the load times out and the connection is dropped (60000). */
  installTimeout?: number;
  /** Milliseconds between HELLOs while the catalogue is being fetched (1000). */
  helloInterval?: number;
  /**
   * The first wait between rounds of connect({ wait: true }) and of
   * reconnection (1000); each next wait doubles up to maxRetryInterval, and
   * each is a random time between half and all of that.
   */
  retryInterval?: number;
  /** The longest wait between rounds (30000). */
  maxRetryInterval?: number;
  /** Rounds after the first before waiting gives up with "not-found" (Infinity). */
  maxRetries?: number;
  /** After the connection drops (not by close()), connect again as connect({ wait: true }) does (false). */
  reconnect?: boolean;
  /**
   * On every connection after the first, load the modules that loaded before
   * again, before "open" (true): the launcher forgets a page's modules with
   * its connection.
   */
  reload?: boolean;
  /** Installs one load() waits for before it gives up on a module that stays stale (2). */
  maxInstalls?: number;
  /** The oldest launcher version to keep ("1.2" or "1.2.3"; null: any). A launcher without a version is older. */
  minVersion?: string | null;
  /** Decides whether to keep a launcher that answered HELLO (and passed minVersion); false passes it over. */
  accept?: ((hello: { act: "HELLO"; ready: number; version: string }, port: number) => boolean) | null;
  /** The member request() adds to a request and matches in replies ("$rid"). */
  requestKey?: string;
  /** The launcher's cap on one message, in UTF-8 bytes (16 MiB); larger ones are refused with "too-large". */
  maxMessageBytes?: number;
  /** Sees every frame sent and received, as text (a page's log, for debugging). */
  trace?: ((direction: "sent" | "received", text: string, port: number | null) => void) | null;
}

export interface ConnectOptions {
  /** Keep trying, with backoff, until a launcher answers (false: one round, then "not-found"). */
  wait?: boolean;
  /** Stops the attempts; the promise rejects with code "aborted". */
  signal?: AbortSignal;
  /** Milliseconds for the whole search; then it rejects with "timeout". */
  timeout?: number;
}

export declare class LauncherEvent extends Event {
  constructor(type: string, fields?: object);
}

/** Dispatched when a connection is ready for use, before the "ready" event of its catalogue state. */
export interface LauncherOpenEvent extends LauncherEvent {
  readonly type: "open";
  readonly port: number;
  readonly version: string;
  readonly ready: ReadyState;
  /** The modules loaded again on this connection (option reload). */
  readonly reloaded: string[];
  /** Those whose load failed; they are not loaded again later. */
  readonly failed: { module: string; error: LauncherError }[];
}
export interface LauncherCloseEvent extends LauncherEvent {
  readonly type: "close";
  /** The WebSocket close code (1006 when the launcher went away, 4000 when the client dropped it). */
  readonly code: number;
  readonly reason: string;
  /** True when close() closed it. */
  readonly byPage: boolean;
}
/** The catalogue's state: after each "open", then at each change. */
export interface LauncherReadyEvent extends LauncherEvent {
  readonly type: "ready";
  readonly ready: ReadyState;
  readonly readyCode: 1 | 0 | -1;
}
export interface LauncherProgressEvent extends LauncherEvent, Progress {
  readonly type: "progress";
}
export interface LauncherMessageEvent extends LauncherEvent, ModuleMessage {
  readonly type: "message";
}

export interface LauncherEventMap {
  open: LauncherOpenEvent;
  close: LauncherCloseEvent;
  ready: LauncherReadyEvent;
  progress: LauncherProgressEvent;
  message: LauncherMessageEvent;
}

export declare class LauncherClient extends EventTarget {
  constructor(options?: LauncherClientOptions);
  readonly options: Required<LauncherClientOptions>;
  readonly state: ConnectionState;
  /** The port of the open connection, or null. */
  readonly port: number | null;
  /** The version of the last HELLO, or null before the first. */
  readonly version: string | null;
  readonly ready: ReadyState;
  readonly readyCode: 1 | 0 | -1 | null;

  /**
   * Tries the ports in order and keeps the first that completes a WebSocket
   * handshake, answers HELLO and passes minVersion and accept(). Resolves at
   * once when already open.
   */
  connect(options?: ConnectOptions): Promise<HelloInfo>;
  /**
   * Closes the connection, stops connecting and reconnecting; pending
   * promises reject with code "closed" and the messages() iterators end.
   */
  close(): void;
  /** close(), and forgets the modules that reload would load again. */
  dispose(): void;
  [Symbol.asyncDispose](): Promise<void>;
  [Symbol.dispose](): void;
  /** Sends HELLO and resolves with its answer. */
  hello(options?: CallOptions): Promise<HelloInfo>;
  /** Resolves once the catalogue is not being fetched: "ready" or "unavailable". */
  catalogueSettled(options?: CallOptions): Promise<ReadyState>;
  /** INITMC (a fetch starts only when the launcher has no catalogue and none runs), then the settled state. */
  refreshCatalogue(options?: CallOptions): Promise<ReadyState>;
  /**
   * Resolves once the module is registered, installing it first when needed
   * (LOAD, install progress, final message, LOAD again). Waits for a catalogue
   * being fetched. Loads of one name share one operation; loads of different
   * names run one after another. Without a name the launcher answers result 1.
   */
  load(name?: string, options?: LoadOptions): Promise<LoadOutcome>;
  /**
   * Sends a request to a module; its replies, if any, arrive as "message"
   * events and from messages(). Throws "not-connected", or "too-large" above
   * maxMessageBytes.
   */
  send(module: string, request: unknown): void;
  /**
   * For modules that copy the member requestKey ("$rid") of a request into
   * their reply: adds a fresh value, unique to this connection, and resolves
   * with the first frame carrying it (that frame is not dispatched as a
   * "message"). A request that carries requestKey itself is refused with a
   * TypeError. The protocol itself has no reply matching: a module that does
   * not copy the member, or does not answer, makes this reject with "timeout".
   */
  request<Reply = Record<string, unknown>>(
    module: string,
    request: Record<string, unknown>,
    options?: RequestOptions,
  ): Promise<Reply>;
  /**
   * The frames that are not launcher replies. The iterator lives across
   * reconnections and ends when the client closes for good (close(), a drop
   * without reconnect, or maxRetries spent) or its signal aborts.
   */
  messages(options?: MessagesOptions): MessageIterator;

  addEventListener<K extends keyof LauncherEventMap>(
    type: K,
    listener: (this: LauncherClient, event: LauncherEventMap[K]) => unknown,
    options?: boolean | AddEventListenerOptions,
  ): void;
  addEventListener(
    type: string,
    listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions,
  ): void;
  removeEventListener<K extends keyof LauncherEventMap>(
    type: K,
    listener: (this: LauncherClient, event: LauncherEventMap[K]) => unknown,
    options?: boolean | EventListenerOptions,
  ): void;
  removeEventListener(
    type: string,
    listener: EventListenerOrEventListenerObject | null,
    options?: boolean | EventListenerOptions,
  ): void;
}

/** Makes a LauncherClient and connects it. */
export declare function connect(options?: LauncherClientOptions & ConnectOptions): Promise<LauncherClient>;
