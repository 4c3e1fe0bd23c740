// The selected session's grid of terminals, one xterm.js terminal per cell, laid out in the
// grid's rows. Each terminal's size follows its cell; its screen comes from the server on
// (re)subscription, then its live output.
//
// xterm.js is most of the page's code and the sidebar needs none of it, so it is fetched (and
// parsed) only when a grid is first shown. Its stylesheet is small and stays in the page's.
import '@xterm/xterm/css/xterm.css';
import { makeDraggable, dropEdge } from './drag.js';
import { isSwitchKey } from './keys.js';
import { terminalOptions } from './theme.js';
import { routeScriptStyles } from './scriptStyles.js';
import { TerminalWrites } from './terminalWrites.js';

let terminalKit = null;
let loadingKit = null;

/// xterm.js and its fit add-on, fetched once; a failed fetch is tried again on the next call.
function loadTerminalKit() {
    loadingKit ??= import('./terminalKit.js').then((kit) => {
        // Before the first terminal: xterm.js styles it from script.
        routeScriptStyles();
        terminalKit = kit;
        return kit;
    }, (error) => {
        loadingKit = null;
        throw error;
    });
    return loadingKit;
}

export class GridView {
    /// `addButton` adds a shell to the grid shown; it is hidden while no grid is.
    constructor(container, link, { onError, addButton }) {
        this.container = container;
        this.link = link;
        this.onError = onError;
        this.sessionID = null;
        this.views = new Map();
        this.order = [];
        this.addButton = addButton;
        this.addButton.hidden = true;
        this.addButton.addEventListener('click', () => this.addTerminal());
    }

    /// Starts a shell in the shown grid; the server saves the layout with it and the keyboard
    /// moves to it once it is on the page.
    async addTerminal() {
        const sessionID = this.sessionID;
        if (!sessionID) {
            return;
        }
        try {
            const [grid] = await Promise.all([this.link.call('terminal.add', { sessionID }), loadTerminalKit()]);
            if (sessionID === this.sessionID) {
                this.render(grid);
                this.views.get(grid.terminalID)?.term.focus();
            }
        } catch (error) {
            this.onError(error.message);
        }
    }

    /// Shows `sessionID`'s grid, starting its programs when they do not run.
    async show(sessionID) {
        if (sessionID !== this.sessionID) {
            this.clear();
            this.sessionID = sessionID;
        }
        this.addButton.hidden = !sessionID;
        if (!sessionID) {
            return;
        }
        try {
            // The terminals' code is fetched while the server opens the grid.
            const [grid] = await Promise.all([this.link.call('grid.open', { id: sessionID }), loadTerminalKit()]);
            // Another session may have been chosen meanwhile: its grid is the one to show.
            if (sessionID === this.sessionID) {
                this.render(grid);
            }
        } catch (error) {
            this.onError(error.message);
        }
    }

    /// Fetches the grid again (a terminal opened, moved, ended or was renamed).
    async refresh() {
        if (!this.sessionID) {
            return;
        }
        const sessionID = this.sessionID;
        const [grid] = await Promise.all([this.link.call('grid.list', { id: sessionID }), loadTerminalKit()])
            .catch(() => [null]);
        if (grid && sessionID === this.sessionID) {
            this.render(grid);
        }
    }

    clear() {
        for (const [id, view] of this.views) {
            this.dispose(id, view);
        }
        this.views.clear();
        this.container.replaceChildren();
        this.order = [];
    }

    dispose(id, view) {
        // A disposed terminal never finishes its writes: they count as drawn.
        view.writes.close();
        view.observer.disconnect();
        if (!view.opened) {
            view.term.dispose();
            return;
        }
        view.term.dispose();
        this.link.call('terminal.unsubscribe', { id }).catch(() => {});
    }

    /// A terminal's status in its cell, and on hover the reason the server gives for it.
    showStatus(id, status, reason) {
        const view = this.views.get(id);
        if (!view || !status) {
            return;
        }
        view.cell.dataset.status = status;
        view.cell.querySelector('.title').title = reason ? `${status}: ${reason}` : status;
    }

    /// Lays out `grid`; only called once the terminal kit is loaded.
    render(grid) {
        const known = new Map(grid.terminals.map((t) => [t.id, t]));
        for (const [id, view] of this.views) {
            if (!known.has(id)) {
                this.dispose(id, view);
                this.views.delete(id);
            }
        }
        let rows = grid.layout.filter((row) => row.some((id) => known.has(id)));
        const placed = new Set(rows.flat());
        const loose = grid.terminals.map((t) => t.id).filter((id) => !placed.has(id));
        if (loose.length > 0) {
            rows = [...rows, loose];
        }
        // Cells are moved into new rows, which takes the keyboard from a terminal inside them:
        // the terminal typed into keeps it, and keeps its mark whatever the server last heard.
        const active = this.container.contains(document.activeElement) ? document.activeElement : null;
        const focusedID = active?.closest('.cell')?.dataset.terminalId ?? grid.focusedTerminalID;
        const rowElements = rows.map((row) => {
            const rowElement = document.createElement('div');
            rowElement.className = 'grid-row';
            for (const id of row.filter((id) => known.has(id))) {
                const view = this.views.get(id) ?? this.create(id);
                const terminal = known.get(id);
                view.cell.querySelector('.title').textContent = terminal.title;
                this.showStatus(id, terminal.status, terminal.reason);
                view.cell.classList.toggle('exited', terminal.exited);
                view.cell.classList.toggle('focused', focusedID === id);
                view.cell.dataset.exited = String(terminal.exited);
                rowElement.append(view.cell);
            }
            return rowElement;
        });
        this.container.replaceChildren(...rowElements);
        if (active?.isConnected && document.activeElement !== active) {
            active.focus({ preventScroll: true });
        }
        this.order = rows.flat();
        for (const view of this.views.values()) {
            // Opened only once in the document, where xterm.js can measure its characters.
            if (!view.opened) {
                view.open();
            }
            view.fitSoon();
        }
    }

    create(id) {
        const cell = document.createElement('section');
        cell.className = 'cell';
        cell.dataset.terminalId = id;
        cell.innerHTML = `<div class="cell-head"><span class="title"></span>
            <button class="rename" title="Rename">✎</button>
            <button class="restart" title="Restart">↻</button>
            <button class="close" title="Close">✕</button></div><div class="term"></div>`;
        const { Terminal, FitAddon } = terminalKit;
        const term = new Terminal({ scrollback: 5000, allowProposedApi: false, ...terminalOptions() });
        const fit = new FitAddon();
        term.loadAddon(fit);
        // Keys that switch sessions and terminals belong to the page; every other key,
        // Ctrl-C, Ctrl-D, Escape and the arrows included, reaches the program.
        term.attachCustomKeyEventHandler((event) => !isSwitchKey(event));
        term.onData((text) => this.link.sendInput(id, text));
        let size = { rows: 0, cols: 0 };
        let scheduled = false;
        const fitNow = () => {
            scheduled = false;
            if (!cell.isConnected || cell.clientWidth === 0) {
                return;
            }
            const proposed = fit.proposeDimensions();
            if (!proposed || !proposed.rows || !proposed.cols) {
                return;
            }
            fit.fit();
            if (proposed.rows !== size.rows || proposed.cols !== size.cols) {
                size = { rows: proposed.rows, cols: proposed.cols };
                this.link.call('terminal.resize', { id, ...size }).catch(() => {});
            }
        };
        const fitSoon = () => {
            if (!scheduled) {
                scheduled = true;
                requestAnimationFrame(fitNow);
            }
        };
        const observer = new ResizeObserver(fitSoon);
        observer.observe(cell);
        const act = (method, params = {}) =>
            this.link.call(method, { id, ...params }).then(
                (grid) => this.render(grid),
                (error) => this.onError(error.message));
        cell.querySelector('.rename').addEventListener('click', () => {
            const title = prompt('Terminal title', cell.querySelector('.title').textContent);
            if (title) {
                act('terminal.rename', { title });
            }
        });
        cell.querySelector('.restart').addEventListener('click', () => act('terminal.restart'));
        cell.querySelector('.close').addEventListener('click', () => act('terminal.close'));
        cell.addEventListener('mousedown', () => term.focus());
        makeDraggable(cell.querySelector('.cell-head'), {
            targets: '.cell',
            over: (target, event) => {
                target.classList.remove('drop-left', 'drop-right', 'drop-top', 'drop-bottom', 'drop-center');
                if (target !== cell) {
                    target.classList.add(`drop-${dropEdge(target, event)}`);
                }
            },
            leave: (target) =>
                target.classList.remove('drop-left', 'drop-right', 'drop-top', 'drop-bottom', 'drop-center'),
            drop: (target, event) => {
                if (target !== cell) {
                    act('terminal.move', { targetID: target.dataset.terminalId, edge: dropEdge(target, event) });
                }
            },
        });
        const view = { cell, term, fit, observer, fitSoon, opened: false, writes: new TerminalWrites(term) };
        view.open = () => {
            view.opened = true;
            term.open(cell.querySelector('.term'));
            term.textarea?.addEventListener('focus', () => {
                this.link.call('terminal.focus', { id }).catch(() => {});
                for (const other of this.views.values()) {
                    other.cell.classList.toggle('focused', other.cell === cell);
                }
            });
            // Sized first: the server answers in order, so the screen it then sends is drawn
            // at this cell's size.
            fitNow();
            this.link.call('terminal.subscribe', { id }).catch((error) => this.onError(error.message));
        };
        this.views.set(id, view);
        return view;
    }

    /// Bytes from the server: a screen to show afresh, or output to add. Settles once they are
    /// drawn, so the server can hold a program that writes faster than the page draws.
    terminalBytes(kind, id, bytes) {
        const view = this.views.get(id);
        if (!view) {
            return undefined;
        }
        return view.writes.add(kind, bytes);
    }

    /// Moves the keyboard to the terminal `step` places from the focused one.
    focusNext(step) {
        if (this.order.length === 0) {
            return;
        }
        const focused = this.order.findIndex((id) => this.views.get(id)?.cell.classList.contains('focused'));
        const next = (Math.max(focused, 0) + step + this.order.length) % this.order.length;
        this.views.get(this.order[next])?.term.focus();
    }

    focusFirst() {
        const id = this.order[0];
        this.views.get(id)?.term.focus();
    }
}
