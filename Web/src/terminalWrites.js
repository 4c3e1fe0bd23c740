// What waits to be drawn in one terminal, handed to xterm.js one write at a time.
//
// xterm.js parses a write whole and draws (at most once per animation frame) between writes,
// and during a flood one frame costs the page about as much as parsing some tens of
// kilobytes. So output that arrived while the last write was being parsed goes in as one
// write: the page then draws once per much larger step, and spends its time on the output
// instead of on frames nobody can read. A write is bounded so a keystroke still gets through
// within a frame or two.

/// The most bytes joined into one write.
export const maxWriteBytes = 512 * 1024;

export class TerminalWrites {
    /// `term` needs `write(bytes, callback)` and `reset()`.
    constructor(term) {
        this.term = term;
        this.waiting = [];
        this.writing = null;
        this.closed = false;
    }

    /// Queues a screen (`S`: drawn on a reset terminal) or output (`O`); settles once xterm.js
    /// has drawn the bytes, or once they are dropped by `close`.
    add(kind, bytes) {
        return new Promise((resolve) => {
            if (this.closed) {
                resolve();
                return;
            }
            this.waiting.push({ kind, bytes, resolve });
            this.next();
        });
    }

    /// Settles everything queued or being written as dropped; nothing is written any more.
    close() {
        this.closed = true;
        for (const { resolve } of [...(this.writing ?? []), ...this.waiting]) {
            resolve();
        }
        this.writing = null;
        this.waiting = [];
    }

    next() {
        if (this.writing || this.closed || this.waiting.length === 0) {
            return;
        }
        // A screen resets the terminal only once everything before it is drawn, and starts a
        // write of its own.
        if (this.waiting[0].kind === 'S') {
            this.term.reset();
        }
        let count = 0;
        let size = 0;
        for (const { kind, bytes } of this.waiting) {
            if (count > 0 && (kind === 'S' || size + bytes.length > maxWriteBytes)) {
                break;
            }
            count += 1;
            size += bytes.length;
        }
        const batch = this.waiting.splice(0, count);
        let data = batch[0].bytes;
        if (count > 1) {
            data = new Uint8Array(size);
            let at = 0;
            for (const { bytes } of batch) {
                data.set(bytes, at);
                at += bytes.length;
            }
        }
        this.writing = batch;
        this.term.write(data, () => {
            if (this.writing !== batch) {
                return;
            }
            this.writing = null;
            for (const { resolve } of batch) {
                resolve();
            }
            // What came meanwhile follows within the same turn of xterm.js's parser.
            this.next();
        });
    }
}
