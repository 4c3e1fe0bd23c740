// The review panel beside the grid: the selected session's changed files with their review
// marks, the base they are compared with (and a picker for another), and the patch of the
// file chosen. Everything shown is prepared by the server (review.* methods); the panel
// fetches again when the session's terminals settle and when the page gets the focus.
import './review.css';
import { PatchView } from './patchView.js';

const minFraction = 0.15;
const maxFraction = 0.75;
// The panel's narrowest width until the user drags it (the settings' rule).
const minWidth = 500;

const baseWords = {
    compareRef: 'compare ref',
    baseCommit: 'base commit',
    mergeBase: 'merge base',
};

const short = (ref) => (/^[0-9a-f]{40}$/.test(ref ?? '') ? ref.slice(0, 8) : ref ?? '?');

function element(tag, className, text) {
    const e = document.createElement(tag);
    if (className) {
        e.className = className;
    }
    if (text !== undefined) {
        e.textContent = text;
    }
    return e;
}

const statusWords = { A: 'added', M: 'modified', D: 'deleted', R: 'renamed', B: 'binary' };
const fileRowHeight = 22;

/// The changed files, drawn like the patch: only the rows in sight are in the page, so a
/// session of thousands of files lists as quickly as one of three.
class FileList {
    constructor(list, { open, toggle }) {
        this.list = list;
        this.open = open;
        this.toggle = toggle;
        this.files = [];
        this.selected = null;
        this.spacer = element('div', 'review-files-spacer');
        this.list.replaceChildren(this.spacer);
        this.list.addEventListener('scroll', () => this.draw());
        new ResizeObserver(() => this.draw()).observe(this.list);
    }

    /// Shows `files` (review.files rows), `selected` marked.
    show(files, selected) {
        this.files = files;
        this.selected = selected;
        // The list is as tall as its rows up to its share of the panel; it scrolls beyond.
        this.spacer.style.height = `${Math.max(1, files.length) * fileRowHeight}px`;
        this.draw();
    }

    select(path) {
        this.selected = path;
        for (const item of this.spacer.querySelectorAll('.review-file')) {
            item.classList.toggle('selected', item.dataset.path === path);
        }
    }

    draw() {
        if (this.files.length === 0) {
            this.spacer.replaceChildren(element('div', 'review-empty', 'No changes against the base.'));
            return;
        }
        const top = this.list.scrollTop;
        const height = this.list.clientHeight || 400;
        const from = Math.max(0, Math.floor(top / fileRowHeight) - 10);
        const to = Math.min(this.files.length, Math.ceil((top + height) / fileRowHeight) + 10);
        const items = [];
        for (let i = from; i < to; i += 1) {
            items.push(this.item(this.files[i], i));
        }
        this.spacer.replaceChildren(...items);
    }

    item([path, status, added, removed, reviewed], index) {
        const item = element('div', 'review-file');
        item.style.top = `${index * fileRowHeight}px`;
        item.dataset.path = path;
        item.dataset.status = status;
        item.classList.toggle('selected', path === this.selected);
        item.classList.toggle('reviewed', reviewed);
        const box = element('input', 'reviewed-box');
        box.type = 'checkbox';
        box.checked = reviewed;
        box.title = 'Reviewed (until the file changes again)';
        box.addEventListener('click', (event) => {
            event.stopPropagation();
            this.toggle(path);
        });
        const letter = element('span', 'status-letter', status);
        letter.title = statusWords[status] ?? status;
        const name = element('span', 'file-path', path);
        name.title = path;
        const counts = element('span', 'file-counts');
        counts.append(element('span', 'count-added', `+${added}`), element('span', 'count-removed', `−${removed}`));
        item.append(box, letter, name, counts);
        item.addEventListener('click', () => this.open(path));
        return item;
    }
}

export class ReviewPanel {
    constructor(panel, divider, link, { onError }) {
        this.panel = panel;
        this.divider = divider;
        this.link = link;
        this.onError = onError;
        this.sessionID = null;
        this.selectedPath = null;
        this.fraction = null;
        this.loading = null;
        this.build();
        this.dragDivider();
        window.addEventListener('focus', () => this.refresh());
        window.addEventListener('resize', () => this.applyWidth());
    }

    build() {
        this.panel.classList.add('review');
        const head = element('div', 'review-head');
        this.summary = element('span', 'review-summary');
        this.openWorktree = element('button', 'open-worktree', 'Open worktree');
        this.openWorktree.title = 'Open the worktree in the editor of the settings';
        this.openWorktree.addEventListener('click', () => this.open(null));
        head.append(this.summary, this.openWorktree);

        const base = element('label', 'review-base');
        this.baseText = element('span', 'base-used');
        this.basePicker = element('select', 'base-picker');
        this.basePicker.title = 'Compare with another branch';
        this.basePicker.addEventListener('focus', () => this.loadRefs());
        this.basePicker.addEventListener('pointerdown', () => this.loadRefs());
        this.basePicker.addEventListener('change', () => this.pickBase(this.basePicker.value));
        base.append(this.baseText, this.basePicker);

        this.fileList = element('div', 'review-files');
        this.files = new FileList(this.fileList, {
            open: (path) => this.guard(() => this.showPatch(path, false)),
            toggle: (path) => this.toggle(path),
        });
        this.patchHead = element('div', 'patch-head');
        this.patchTitle = element('span', 'patch-title');
        this.openFile = element('button', 'open-file', 'Open in editor');
        this.openFile.addEventListener('click', () => this.open(this.selectedPath));
        this.patchHead.append(this.patchTitle, this.openFile);
        this.patchHead.hidden = true;
        const patchBox = element('div', 'patch-box');
        this.patch = new PatchView(patchBox);
        this.panel.replaceChildren(head, base, this.fileList, this.patchHead, patchBox);
    }

    /// Settings read by the page: the panel's share of the window.
    applySettings(values) {
        const stored = values.diffPanelWidthFraction;
        this.fraction = typeof stored === 'number' ? Math.min(maxFraction, Math.max(minFraction, stored)) : null;
        this.applyWidth();
    }

    applyWidth() {
        const total = window.innerWidth;
        const width = this.fraction === null ? minWidth : Math.max(this.fraction * total, minWidth);
        // Never more than the largest share, so the grid keeps room at any window size.
        this.panel.style.width = `${Math.min(width, total * maxFraction)}px`;
    }

    dragDivider() {
        this.divider.addEventListener('pointerdown', (event) => {
            event.preventDefault();
            this.divider.setPointerCapture(event.pointerId);
            const move = (e) => {
                const fraction = (window.innerWidth - e.clientX) / window.innerWidth;
                this.fraction = Math.min(maxFraction, Math.max(minFraction, fraction));
                this.panel.style.width = `${this.fraction * window.innerWidth}px`;
            };
            const up = () => {
                this.divider.removeEventListener('pointermove', move);
                this.divider.removeEventListener('pointerup', up);
                this.guard(() => this.link.call('settings.set', { key: 'diffPanelWidthFraction', value: this.fraction }));
            };
            this.divider.addEventListener('pointermove', move);
            this.divider.addEventListener('pointerup', up);
        });
    }

    async guard(work) {
        try {
            return await work();
        } catch (error) {
            this.onError(error.message);
            return undefined;
        }
    }

    /// Shows the session `sessionID` (null: none). Showing the one already shown does nothing.
    show(sessionID) {
        if (sessionID === this.sessionID) {
            return;
        }
        this.sessionID = sessionID;
        this.selectedPath = null;
        this.refs = null;
        this.pickerShows = null;
        this.panel.hidden = !sessionID;
        this.divider.hidden = !sessionID;
        this.files.show([], null);
        this.patchHead.hidden = true;
        this.patch.clear();
        this.refresh();
    }

    /// Fetches the list (and the shown patch) again; calls while one runs share one more run.
    refresh() {
        if (!this.sessionID || this.link.socket?.readyState !== WebSocket.OPEN) {
            return Promise.resolve();
        }
        if (this.loading) {
            this.loading.again = true;
            return this.loading.promise;
        }
        const run = async () => {
            do {
                this.loading.again = false;
                const sessionID = this.sessionID;
                const answer = await this.link.call('review.files', { id: sessionID });
                if (sessionID !== this.sessionID) {
                    continue;
                }
                this.renderFiles(answer);
                if (this.selectedPath && answer.files.some((f) => f[0] === this.selectedPath)) {
                    await this.showPatch(this.selectedPath, true);
                } else if (this.selectedPath) {
                    this.selectedPath = null;
                    this.patchHead.hidden = true;
                    this.patch.clear();
                }
            } while (this.loading.again);
        };
        this.loading = { again: false };
        this.loading.promise = run().catch((error) => this.onError(error.message)).finally(() => {
            this.loading = null;
        });
        return this.loading.promise;
    }

    renderFiles(answer) {
        const { totals, base } = answer;
        this.summary.textContent = `${totals.files} file${totals.files === 1 ? '' : 's'} · +${totals.added} −${totals.removed} · ${totals.reviewed} of ${totals.files} reviewed`;
        // A base that could not be named is said, the listing still shown.
        const ref = base.ref === null && base.error ? '(not found)' : short(base.ref);
        this.baseText.textContent = `against ${baseWords[base.kind] ?? base.kind} ${ref}`;
        this.baseText.title = base.error ?? '';
        this.panel.dataset.base = base.kind === 'compareRef' ? base.ref : '';
        this.renderPicker(base.kind === 'compareRef' ? base.ref : '');
        this.files.show(answer.files, this.selectedPath);
    }

    /// The box shows the click at once; the list drawn again says what holds.
    toggle(path) {
        return this.guard(async () => {
            await this.link.call('review.toggle', { id: this.sessionID, path });
            await this.refresh();
        });
    }

    async showPatch(path, keepPlace) {
        const sessionID = this.sessionID;
        const same = keepPlace && path === this.selectedPath;
        const first = this.patch.firstWindow(same);
        const answer = await this.link.call('review.patch', { id: sessionID, path, ...first });
        if (sessionID !== this.sessionID) {
            return;
        }
        this.selectedPath = path;
        this.files.select(path);
        this.patchHead.hidden = false;
        this.patchTitle.textContent = path;
        this.patchTitle.title = path;
        const fetchRows = (window) => this.guard(() => this.link.call('review.patch', { id: sessionID, path, ...window }));
        this.patch.show(answer, same, fetchRows);
    }

    async loadRefs() {
        if (this.refs || !this.sessionID) {
            return;
        }
        this.refs = await this.guard(() => this.link.call('review.refs', { id: this.sessionID }));
        this.renderPicker(this.refs?.current ?? '');
    }

    renderPicker(current) {
        const refs = this.refs ?? { local: [], remote: [] };
        const names = [...refs.local, ...refs.remote];
        if (current && !names.includes(current)) {
            names.unshift(current);
        }
        // Drawn again only when it would show something else: an open list would close.
        const shown = JSON.stringify([current, names]);
        if (shown === this.pickerShows) {
            return;
        }
        this.pickerShows = shown;
        const options = [new Option('Recorded base', '')];
        for (const name of names) {
            options.push(new Option(name, name));
        }
        this.basePicker.replaceChildren(...options);
        this.basePicker.value = current;
    }

    pickBase(ref) {
        return this.guard(async () => {
            await this.link.call('review.setBase', { id: this.sessionID, ref: ref || null });
            await this.refresh();
        });
    }

    open(path) {
        return this.guard(() => this.link.call('review.open', { id: this.sessionID, path }));
    }

    /// A terminal of the session settled (idle or asking): its files may have changed.
    statusChanged(data) {
        const settled = ['idle', 'needsInput'];
        if (data.sessionID === this.sessionID &&
            (settled.includes(data.terminalStatus) || (!data.terminalID && settled.includes(data.status)))) {
            this.refresh();
        }
    }
}
