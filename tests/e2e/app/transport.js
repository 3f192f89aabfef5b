// One accepted connection as an MCP transport: newline-delimited JSON-RPC over
// a net.Socket. Besides framing, it
//   - records every line it receives in the app's log, before anything else;
//   - answers requests with their "id" written exactly as the client wrote it
//     (1.0 stays 1.0, 12345678901234567890 keeps its digits, null stays null):
//     the SDK sees a placeholder id and the reply gets the original text back.

const PLACEHOLDER = 'quillore-app-id-';

export class SocketTransport {
  /**
   * @param {import('node:net').Socket} socket
   * @param {object} hooks
   * @param {(line: string, isJson: boolean) => void} [hooks.received] called with
   *   each line as received, and whether it is JSON
   * @param {(message: object) => boolean} [hooks.intercept] sees each parsed
   *   message before the SDK; returning true keeps it from the SDK
   */
  constructor(socket, hooks = {}) {
    this.socket = socket;
    this.hooks = hooks;
    this.pending = [];
    this.rawIds = new Map();
    this.nextPlaceholder = 1;
    this.unanswered = 0;
    this.inputEnded = false;
    this.closed = false;
  }

  async start() {
    this.socket.on('data', (chunk) => this.#data(chunk));
    this.socket.on('error', () => {}); // a peer that vanished shows up as 'close'
    this.socket.on('close', () => this.#closed());
    // A client that stops writing still gets the answers to what it asked.
    this.socket.on('end', () => {
      this.inputEnded = true;
      this.#endWhenAnswered();
    });
  }

  /** Writes one message; request ids that came in as placeholders get their original text back. */
  async send(message) {
    if (this.closed) return;
    let text = JSON.stringify(message);
    const raw = typeof message.id === 'string' ? this.rawIds.get(message.id) : undefined;
    if (raw !== undefined && !('method' in message)) {
      this.rawIds.delete(message.id);
      text = text.replace(`"id":${JSON.stringify(message.id)}`, () => `"id":${raw}`);
    }
    await this.writeLine(text);
    if (raw !== undefined) this.answered();
  }

  /** Counts one request as answered (replies written with writeLine count themselves). */
  answered() {
    this.unanswered--;
    this.#endWhenAnswered();
  }

  #endWhenAnswered() {
    if (this.inputEnded && this.unanswered <= 0 && !this.socket.destroyed) this.socket.end();
  }

  /** Writes one line of text as it is (tools use it to send hand-made replies). */
  writeLine(text) {
    return new Promise((resolve) => {
      if (this.closed || this.socket.destroyed) return resolve();
      this.socket.write(text + '\n', () => resolve());
    });
  }

  /**
   * Answers the request the SDK knows by `id` with a hand-made reply: the given
   * members (JSON text of each value) after "jsonrpc" and the id as the client wrote it.
   */
  async reply(id, members) {
    const raw = typeof id === 'string' ? this.rawIds.get(id) : undefined;
    this.rawIds.delete(id);
    const rest = Object.entries(members).map(([k, v]) => `,${JSON.stringify(k)}:${JSON.stringify(v)}`);
    await this.writeLine(`{"jsonrpc":"2.0","id":${raw ?? JSON.stringify(id)}${rest.join('')}}`);
    if (raw !== undefined) this.answered();
  }

  /** Ends the connection at once, without answering anything still open. */
  drop() {
    this.socket.destroy();
  }

  async close() {
    this.socket.end();
  }

  #data(chunk) {
    this.pending.push(chunk);
    if (!chunk.includes(0x0a)) return;
    let buffer = Buffer.concat(this.pending);
    let at;
    while ((at = buffer.indexOf(0x0a)) !== -1) {
      this.#line(buffer.toString('utf8', 0, at));
      buffer = buffer.subarray(at + 1);
      if (this.closed) return;
    }
    this.pending = buffer.length ? [buffer] : [];
  }

  #line(line) {
    let message;
    try {
      message = JSON.parse(line);
    } catch {
      this.hooks.received?.(line, false);
      return; // not JSON: logged, otherwise ignored
    }
    this.hooks.received?.(line, true);
    if (message === null || typeof message !== 'object' || Array.isArray(message)) return;
    if (this.hooks.intercept?.(message, line)) return;
    if (typeof message.method === 'string' && 'id' in message) {
      const raw = rawMember(line, 'id');
      if (raw !== undefined) {
        const placeholder = PLACEHOLDER + this.nextPlaceholder++;
        this.rawIds.set(placeholder, raw);
        message.id = placeholder;
        this.unanswered++;
      }
    }
    this.onmessage?.(message);
  }

  #closed() {
    if (this.closed) return;
    this.closed = true;
    this.onclose?.();
  }
}

/**
 * The JSON text of a top-level member of the object written in `text` (the last
 * one when the name repeats, as JSON.parse does), or undefined. `text` must be
 * valid JSON.
 */
export function rawMember(text, name) {
  let i = 0;
  const space = () => {
    while (i < text.length && ' \t\r\n'.includes(text[i])) i++;
  };
  const string = () => {
    const start = i++;
    while (text[i] !== '"') i += text[i] === '\\' ? 2 : 1;
    i++;
    return text.slice(start, i);
  };
  const value = () => {
    const start = i;
    if (text[i] === '"') {
      string();
    } else if (text[i] === '{' || text[i] === '[') {
      let depth = 0;
      do {
        if (text[i] === '"') {
          string();
          continue;
        }
        if (text[i] === '{' || text[i] === '[') depth++;
        else if (text[i] === '}' || text[i] === ']') depth--;
        i++;
      } while (depth > 0);
    } else {
      while (i < text.length && !',}] \t\r\n'.includes(text[i])) i++;
    }
    return text.slice(start, i);
  };
  let found;
  space();
  if (text[i] !== '{') return undefined;
  i++;
  for (;;) {
    space();
    if (text[i] !== '"') return found;
    const key = JSON.parse(string());
    space();
    i++; // ':'
    space();
    const v = value();
    if (key === name) found = v;
    space();
    if (text[i] !== ',') return found;
    i++;
  }
}
