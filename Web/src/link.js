// The page's one WebSocket to the server: JSON requests and answers, events, and binary
// terminal frames (docs/web-protocol.md). Reconnects after a drop and tells the page, which
// then fetches everything again.

const protocolVersion = 1;
const idLength = 36;
const encoder = new TextEncoder();
const decoder = new TextDecoder();
// The page tells the server what it has drawn at least this often during a flood, and at once
// whenever it has drawn everything it was sent.
const acknowledgeStep = 64 * 1024;

export class ServerLink {
    constructor({ onEvent, onTerminal, onConnected, onDisconnected }) {
        this.onEvent = onEvent;
        this.onTerminal = onTerminal;
        this.onConnected = onConnected;
        this.onDisconnected = onDisconnected;
        this.pending = new Map();
        this.nextID = 1;
        this.retry = 250;
        this.connect();
    }

    connect() {
        const socket = new WebSocket(`ws://${location.host}/ws`);
        socket.binaryType = 'arraybuffer';
        Object.assign(socket, { drawn: 0, told: 0, drawing: 0, telling: false });
        this.socket = socket;
        socket.onopen = async () => {
            this.retry = 250;
            try {
                await this.call('hello', { version: protocolVersion, client: 'web page' });
            } catch (error) {
                this.onDisconnected(error.message);
                return;
            }
            // The server takes a connection's requests in order, so the page's first requests
            // go right behind the subscription instead of a round trip later, and still see
            // every change made after their answers.
            const subscribed = this.call('subscribe', {
                events: ['stateChanged', 'statusChanged', 'bell', 'terminalExited', 'gridChanged', 'settingsChanged'],
            });
            this.onConnected();
            await subscribed.catch((error) => this.onDisconnected(error.message));
        };
        socket.onmessage = (message) => this.receive(message.data);
        socket.onclose = () => {
            for (const { reject } of this.pending.values()) {
                reject(new Error('the connection to the server was lost'));
            }
            this.pending.clear();
            this.onDisconnected('reconnecting…');
            // A server that restarts has a new token: the page must then be opened again from
            // `orvex web`, and retrying quietly costs nothing meanwhile.
            setTimeout(() => this.connect(), this.retry);
            this.retry = Math.min(this.retry * 2, 5000);
        };
    }

    receive(data) {
        if (typeof data !== 'string') {
            const bytes = new Uint8Array(data);
            const kind = String.fromCharCode(bytes[0]);
            const id = decoder.decode(bytes.subarray(1, 1 + idLength));
            const payload = bytes.subarray(1 + idLength);
            const done = this.drawing(payload.length);
            // The page's answer settles once the bytes are drawn (or dropped).
            Promise.resolve(this.onTerminal(kind, id, payload)).then(done, done);
            return;
        }
        const message = JSON.parse(data);
        if (message.event) {
            this.onEvent(message.event, message.data);
            return;
        }
        const waiting = this.pending.get(message.id);
        if (!waiting) {
            return;
        }
        this.pending.delete(message.id);
        if (message.error) {
            const error = new Error(message.error.message);
            error.details = message.error;
            waiting.reject(error);
        } else {
            waiting.resolve(message.result);
        }
    }

    /// Counts `count` terminal bytes as being drawn; the function returned is called once they
    /// are. The server hears the running total, and holds the programs of a page that falls
    /// far behind instead of piling their output up in it.
    drawing(count) {
        const socket = this.socket;
        socket.drawing += 1;
        let settled = false;
        return () => {
            if (settled) {
                return;
            }
            settled = true;
            socket.drawing -= 1;
            socket.drawn += count;
            // Messages drawn in one write settle together: one acknowledgement says so.
            if (!socket.telling) {
                socket.telling = true;
                queueMicrotask(() => {
                    socket.telling = false;
                    if (socket.readyState === WebSocket.OPEN && socket.drawn > socket.told &&
                        (socket.drawing === 0 || socket.drawn - socket.told >= acknowledgeStep)) {
                        socket.told = socket.drawn;
                        socket.send(encoder.encode(`A${socket.drawn}`));
                    }
                });
            }
        };
    }

    call(method, params = {}) {
        return new Promise((resolve, reject) => {
            if (this.socket.readyState !== WebSocket.OPEN) {
                reject(new Error('not connected to the server'));
                return;
            }
            const id = this.nextID++;
            this.pending.set(id, { resolve, reject });
            this.socket.send(JSON.stringify({ id, method, params }));
        });
    }

    sendInput(terminalID, text) {
        if (this.socket.readyState !== WebSocket.OPEN) {
            return;
        }
        const payload = encoder.encode(text);
        const frame = new Uint8Array(1 + idLength + payload.length);
        frame[0] = 'I'.charCodeAt(0);
        frame.set(encoder.encode(terminalID), 1);
        frame.set(payload, 1 + idLength);
        this.socket.send(frame);
    }
}
