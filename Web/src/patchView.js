// One file's patch, drawn from the rows the server prepared (old and new line numbers, hunk
// headers, fold markers, changed words). The server hands the rows out a window at a time and
// only the rows in sight exist in the page: a file of tens of thousands of lines costs what a
// screenful costs, and scrolling asks for the next rows as they come into sight.

export const rowHeight = 18;
// Rows drawn beyond each edge of the view, so a small scroll shows rows already there.
const overscan = 30;
// Rows asked for when scrolling reaches rows the page does not have yet.
const windowRows = 300;

const kindClass = { h: 'hunk', c: 'same', '+': 'added', '-': 'removed' };

export class PatchView {
    constructor(element) {
        this.element = element;
        this.element.classList.add('patch-view');
        this.spacer = document.createElement('div');
        this.spacer.className = 'patch-spacer';
        this.element.append(this.spacer);
        this.reset();
        this.openFolds = new Set();
        this.element.addEventListener('scroll', () => this.draw());
        new ResizeObserver(() => this.draw(true)).observe(this.element);
    }

    reset() {
        this.rows = new Map();
        this.total = 0;
        this.version = null;
        this.notice = null;
        this.fetchRows = null;
        this.fetching = null;
        // Answers asked for before the rows were laid out anew are dropped.
        this.generation = (this.generation ?? 0) + 1;
        this.drawn = { from: -1, to: -1 };
    }

    /// The window to ask for first: the rows in sight from the current place (with
    /// `keepPlace`) or from the top, and the folds open.
    firstWindow(keepPlace) {
        const top = keepPlace ? Math.floor(this.element.scrollTop / rowHeight) : 0;
        const inSight = Math.ceil((this.element.clientHeight || 720) / rowHeight);
        const first = Math.max(0, top - overscan);
        return { first, count: top - first + inSight + overscan, open: keepPlace ? [...this.openFolds] : [] };
    }

    /// Shows `answer` (a review.patch window asked for with `firstWindow(keepPlace)`).
    /// `fetchRows(window)` asks the server for more rows of the same file. With `keepPlace`
    /// the scroll position and the open folds stay as they were: the same file drawn again
    /// after a change.
    show(answer, keepPlace, fetchRows) {
        const top = keepPlace ? this.element.scrollTop : 0;
        if (!keepPlace) {
            this.openFolds.clear();
        }
        this.reset();
        this.fetchRows = fetchRows;
        this.take(answer);
        this.element.scrollTop = top;
        this.draw(true);
    }

    clear() {
        this.reset();
        this.layOut();
        this.draw(true);
    }

    /// Takes the rows of a window; rows of another version of the file replace all held.
    take(answer) {
        if (answer.version !== this.version) {
            this.rows = new Map();
            this.version = answer.version;
        }
        this.total = answer.total;
        this.notice = answer.notice;
        answer.rows.forEach((row, at) => this.rows.set(answer.first + at, row));
        this.layOut();
    }

    layOut() {
        this.spacer.style.height = `${Math.max(1, this.total) * rowHeight}px`;
    }

    /// Replaces the fold at `index` with the lines it hid: the rows below move down, the
    /// hidden ones are asked for.
    openFold(index) {
        const item = this.rows.get(index);
        if (!item || Array.isArray(item)) {
            return;
        }
        this.openFolds.add(item.fold);
        const moved = new Map();
        for (const [at, row] of this.rows) {
            if (at < index) {
                moved.set(at, row);
            } else if (at > index) {
                moved.set(at + item.count - 1, row);
            }
        }
        this.rows = moved;
        this.total += item.count - 1;
        this.generation += 1;
        this.fetching = null;
        this.layOut();
        this.draw(true);
    }

    draw(force = false) {
        const view = this.element;
        const from = Math.max(0, Math.floor(view.scrollTop / rowHeight) - overscan);
        const to = Math.min(this.total, Math.ceil((view.scrollTop + view.clientHeight) / rowHeight) + overscan);
        if (!force && from === this.drawn.from && to === this.drawn.to) {
            return;
        }
        this.drawn = { from, to };
        const rows = document.createDocumentFragment();
        if (this.total === 0 && this.notice) {
            const notice = document.createElement('div');
            notice.className = 'patch-notice';
            notice.textContent = this.notice;
            rows.append(notice);
        }
        let missing = -1;
        for (let i = from; i < to; i += 1) {
            const item = this.rows.get(i);
            if (item === undefined) {
                missing = missing < 0 ? i : missing;
                rows.append(this.pendingRow(i));
            } else {
                rows.append(this.rowElement(item, i));
            }
        }
        this.spacer.replaceChildren(rows);
        if (missing >= 0) {
            this.fetchFrom(missing);
        }
    }

    /// Asks for the rows from `index` on, one request at a time; the view is drawn again
    /// when they come, and asks again if it moved on meanwhile. A request that fails is
    /// tried again on the next scroll, not at once.
    fetchFrom(index) {
        if (!this.fetchRows || this.fetching) {
            return;
        }
        const generation = this.generation;
        const first = Math.max(0, index - overscan);
        const asked = { first, count: windowRows, open: [...this.openFolds], version: this.version };
        const done = () => {
            if (generation === this.generation) {
                this.fetching = null;
            }
        };
        this.fetching = this.fetchRows(asked).then((answer) => {
            done();
            if (generation === this.generation && answer) {
                this.take(answer);
                this.draw(true);
            }
        }, done);
    }

    pendingRow(index) {
        const row = document.createElement('div');
        row.className = 'patch-row pending';
        row.style.top = `${index * rowHeight}px`;
        return row;
    }

    rowElement(item, index) {
        const row = document.createElement('div');
        row.style.top = `${index * rowHeight}px`;
        if (!Array.isArray(item)) {
            row.className = 'patch-row fold';
            row.dataset.fold = item.fold;
            row.textContent = `⋯ ${item.count} unchanged line${item.count === 1 ? '' : 's'} (click to show)`;
            row.addEventListener('click', () => this.openFold(index));
            return row;
        }
        const [kind, oldLine, newLine, text, pieces] = item;
        row.className = `patch-row ${kindClass[kind] ?? 'same'}`;
        const number = (value) => {
            const cell = document.createElement('span');
            cell.className = 'line-number';
            cell.textContent = value ?? '';
            return cell;
        };
        const content = document.createElement('span');
        content.className = 'line-text';
        if (kind !== 'h') {
            content.dataset.marker = kind === 'c' ? ' ' : kind;
        }
        if (pieces) {
            pieces.forEach((piece, at) => {
                if (at % 2 === 1) {
                    const word = document.createElement('mark');
                    word.className = 'changed-word';
                    word.textContent = piece;
                    content.append(word);
                } else if (piece) {
                    content.append(piece);
                }
            });
        } else {
            content.textContent = text;
        }
        row.append(number(oldLine), number(newLine), content);
        return row;
    }
}
