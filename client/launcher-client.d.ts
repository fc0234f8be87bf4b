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
/** The message of the "not-found" error: why a page cannot tell "not running" from "not trusted". */
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
 * - "not-found": no launcher answered on any port (see NOT_FOUND_MESSAGE);
 * - "not-connected": the call needs an open connection;
 * - "closed": the connection closed (or close() was called) while it was pending;
 * - "aborted": connect()'s signal aborted;
 * - "load-failed": LOAD answered 1, 5 or 6, or the install failed;
 * - "timeout": request() got no reply carrying its "id" in time.
 */
export type LauncherErrorCode =
  | "not-found"
  | "not-connected"
  | "closed"
  | "aborted"
  | "load-failed"
  | "timeout";

export declare class LauncherError extends Error {
  readonly name: "LauncherError";
  readonly code: LauncherErrorCode;
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

export interface HelloInfo {
  /** The port of the connection. */
  port: number | null;
  /** The launcher's version, "major.minor.build"; "" when its executable has none. */
  version: string | null;
  ready: ReadyState;
  /** HELLO's "ready" as sent: 1, 0 or -1; null when not connected. */
  readyCode: 1 | 0 | -1 | null;
}

export interface Progress {
  module: string;
  /** Bytes of the package on disk so far. */
  size: number;
  /** The package's whole size in bytes. */
  total: number;
}

export interface LoadOutcome {
  module: string;
  /** How many installs this load waited for (0 when the module was current). */
  installs: number;
  /** LOAD's answers in order, e.g. [2, 0]: missing, installed, registered. */
  results: number[];
}

export interface LoadOptions {
  /** Called for each progress message of the module's install. */
  onProgress?: (progress: Progress) => void;
}

export interface RequestOptions {
  /** Milliseconds to wait for the reply (10000). */
  timeout?: number;
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
  /** Milliseconds between HELLOs while the catalogue is being fetched (1000). */
  helloInterval?: number;
  /** Milliseconds between rounds of connect({ wait: true }) (3000). */
  retryInterval?: number;
  /** After the connection drops (not by close()), connect again as connect({ wait: true }) does (false). */
  reconnect?: boolean;
  /** Installs one load() waits for before it gives up on a module that stays stale (2). */
  maxInstalls?: number;
  /** Sees every frame sent and received, as text (a page's log, for debugging). */
  trace?: ((direction: "sent" | "received", text: string, port: number | null) => void) | null;
}

export interface ConnectOptions {
  /** Keep trying every retryInterval ms until a launcher answers (false: reject with "not-found"). */
  wait?: boolean;
  /** Stops the attempts; the promise rejects with code "aborted". */
  signal?: AbortSignal;
}

export declare class LauncherEvent extends Event {
  constructor(type: string, fields?: object);
}

export interface LauncherOpenEvent extends LauncherEvent {
  readonly type: "open";
  readonly port: number;
  readonly version: string;
  readonly ready: ReadyState;
}
export interface LauncherCloseEvent extends LauncherEvent {
  readonly type: "close";
  /** The WebSocket close code (1006 when the launcher went away). */
  readonly code: number;
  readonly reason: string;
  /** True when close() closed it. */
  readonly byPage: boolean;
}
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
   * handshake and answers HELLO. Resolves at once when already open.
   */
  connect(options?: ConnectOptions): Promise<HelloInfo>;
  /** Closes the connection or stops connecting; pending promises reject with code "closed". */
  close(): void;
  /** Sends HELLO and resolves with its answer. */
  hello(): Promise<HelloInfo>;
  /** Resolves once the catalogue is not being fetched: "ready" or "unavailable". */
  catalogueSettled(): Promise<ReadyState>;
  /** INITMC (a fetch starts only when the launcher has no catalogue and none runs), then the settled state. */
  refreshCatalogue(): Promise<ReadyState>;
  /**
   * Resolves once the module is registered, installing it first when needed
   * (LOAD, install progress, final message, LOAD again). Waits for a catalogue
   * being fetched. Loads of one name share one operation; loads of different
   * names run one after another. Without a name the launcher answers result 1.
   */
  load(name: string, options?: LoadOptions): Promise<LoadOutcome>;
  /** Sends a request to a module; its replies, if any, arrive as "message" events and from messages(). */
  send(module: string, request: unknown): void;
  /**
   * For modules that copy the request's "id" into their reply: adds a fresh
   * numeric "id" to the request and resolves with the first frame carrying
   * it (that frame is not dispatched as a "message"). The protocol itself has
   * no reply matching: a module that does not copy "id", or does not answer,
   * makes this reject with code "timeout".
   */
  request<Reply = Record<string, unknown>>(
    module: string,
    request: Record<string, unknown>,
    options?: RequestOptions,
  ): Promise<Reply & { id: number }>;
  /** The frames that are not launcher replies, until the connection closes. */
  messages(): AsyncIterableIterator<ModuleMessage>;

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
