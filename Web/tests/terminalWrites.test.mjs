// How a terminal's waiting bytes reach xterm.js (Web/src/terminalWrites.js), against a stand-in
// terminal that finishes its writes when told, or at once as xterm.js does after a keystroke.
//
//   node Web/tests/terminalWrites.test.mjs
import assert from 'node:assert/strict';

// The page's modules are plain .js files for esbuild; node reads them as ES modules all the
// same, with a warning about the package that says nothing about the code.
process.removeAllListeners('warning');
const { TerminalWrites, maxWriteBytes } = await import('../src/terminalWrites.js');

class StandInTerminal {
    constructor({ immediate = false } = {}) {
        this.immediate = immediate;
        this.log = [];
        this.pending = [];
    }
    write(bytes, done) {
        this.log.push(Buffer.from(bytes).toString('latin1'));
        this.immediate ? done() : this.pending.push(done);
    }
    reset() {
        this.log.push('<reset>');
    }
    /// Finishes the oldest write in progress.
    finish() {
        this.pending.shift()();
    }
}

const text = (s) => new Uint8Array(Buffer.from(s, 'latin1'));
const settled = async (promise) => {
    let done = false;
    promise.then(() => {
        done = true;
    });
    await new Promise((resolve) => setImmediate(resolve));
    return done;
};

const checks = [
    ['output that arrives during a write goes in as one write, in order, and settles once drawn', async () => {
        const term = new StandInTerminal();
        const writes = new TerminalWrites(term);
        const first = writes.add('O', text('a'));
        const later = ['b', 'c', 'd'].map((s) => writes.add('O', text(s)));
        assert.deepEqual(term.log, ['a']);
        assert.equal(await settled(later[0]), false);
        term.finish();
        assert.equal(await settled(first), true);
        assert.deepEqual(term.log, ['a', 'bcd']);
        assert.equal(await settled(later[2]), false);
        term.finish();
        assert.deepEqual(await Promise.all([...later].map(settled)), [true, true, true]);
    }],
    ['a write is bounded, and output larger than the bound still goes whole on its own', async () => {
        const term = new StandInTerminal();
        const writes = new TerminalWrites(term);
        writes.add('O', text('x'));
        const half = 'h'.repeat(maxWriteBytes / 2);
        for (const s of [half, half, 'y', 'z'.repeat(maxWriteBytes + 1)]) {
            writes.add('O', text(s));
        }
        while (term.pending.length > 0) {
            term.finish();
        }
        assert.deepEqual(term.log.map((s) => s.length), [1, maxWriteBytes, 1, maxWriteBytes + 1]);
        assert.equal(term.log.join(''), `x${half}${half}y${'z'.repeat(maxWriteBytes + 1)}`);
    }],
    ['a screen resets the terminal only after the output before it is drawn, and what follows joins it', async () => {
        const term = new StandInTerminal();
        const writes = new TerminalWrites(term);
        writes.add('O', text('old'));
        writes.add('O', text('er'));
        writes.add('S', text('SCREEN'));
        writes.add('O', text('new'));
        assert.deepEqual(term.log, ['old']);
        term.finish();
        term.finish();
        term.finish();
        assert.deepEqual(term.log, ['old', 'er', '<reset>', 'SCREENnew']);
    }],
    ['a terminal that finishes each write at once gets everything, in order', async () => {
        const term = new StandInTerminal({ immediate: true });
        const writes = new TerminalWrites(term);
        const all = ['1', '2', 'S', '3'].map((s) => writes.add(s === 'S' ? 'S' : 'O', text(s)));
        assert.deepEqual(await Promise.all(all.map(settled)), [true, true, true, true]);
        assert.deepEqual(term.log, ['1', '2', '<reset>', 'S', '3']);
    }],
    ['closing settles what is queued or being written, and nothing is written after', async () => {
        const term = new StandInTerminal();
        const writes = new TerminalWrites(term);
        const queued = ['p', 'q'].map((s) => writes.add('O', text(s)));
        writes.close();
        const after = writes.add('O', text('r'));
        assert.deepEqual(await Promise.all([...queued, after].map(settled)), [true, true, true]);
        term.finish();
        assert.deepEqual(term.log, ['p']);
    }],
];

let failed = false;
for (const [title, check] of checks) {
    try {
        await check();
        console.log(`ok: ${title}`);
    } catch (error) {
        failed = true;
        console.log(`FAILED: ${title}: ${error.stack}`);
    }
}
process.exit(failed ? 1 : 0);
