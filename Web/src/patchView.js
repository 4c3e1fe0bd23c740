// One file's patch, drawn from the rows the server prepared (old and new line numbers, hunk
// headers, folds of unchanged runs, changed words). Only the rows in sight exist in the page:
// a file of tens of thousands of lines scrolls as lightly as a short one.

export const rowHeight = 18;
// Rows drawn beyond each edge of the view, so a small scroll shows rows already there.
const overscan = 30;

const kindClass = { h: 'hunk', c: 'same', '+': 'added', '-': 'removed' };

export class PatchView {
    constructor(element) {
        this.element = element;
        this.element.classList.add('patch-view');
        this.spacer = document.createElement('div');
        this.spacer.className = 'patch-spacer';
        this.element.append(this.spacer);
        this.items = [];
        this.drawn = { from: -1, to: -1 };
        this.openFolds = new Set();
        this.element.addEventListener('scroll', () => this.draw());
        new ResizeObserver(() => this.draw(true)).observe(this.element);
    }

    /// Shows `answer` (review.patch's result). With `keepPlace` the scroll position and the
    /// open folds stay as they were: the same file drawn again after a change.
    show(answer, keepPlace) {
        const top = keepPlace ? this.element.scrollTop : 0;
        if (!keepPlace) {
            this.openFolds.clear();
        }
        this.items = [];
        for (const row of answer.rows) {
            if (Array.isArray(row)) {
                this.items.push(row);
            } else if (this.openFolds.has(row.fold)) {
                this.items.push(...row.rows);
            } else {
                this.items.push({ fold: row.fold, rows: row.rows });
            }
        }
        this.notice = answer.notice;
        this.spacer.style.height = `${Math.max(1, this.items.length) * rowHeight}px`;
        this.element.scrollTop = top;
        this.draw(true);
    }

    clear() {
        this.items = [];
        this.notice = null;
        this.spacer.style.height = '0px';
        this.draw(true);
    }

    /// Replaces the fold at `index` with the lines it hid.
    openFold(index) {
        const item = this.items[index];
        if (!item || Array.isArray(item)) {
            return;
        }
        this.openFolds.add(item.fold);
        this.items.splice(index, 1, ...item.rows);
        this.spacer.style.height = `${this.items.length * rowHeight}px`;
        this.draw(true);
    }

    draw(force = false) {
        const view = this.element;
        const from = Math.max(0, Math.floor(view.scrollTop / rowHeight) - overscan);
        const to = Math.min(this.items.length, Math.ceil((view.scrollTop + view.clientHeight) / rowHeight) + overscan);
        if (!force && from === this.drawn.from && to === this.drawn.to) {
            return;
        }
        this.drawn = { from, to };
        const rows = document.createDocumentFragment();
        if (this.items.length === 0 && this.notice) {
            const notice = document.createElement('div');
            notice.className = 'patch-notice';
            notice.textContent = this.notice;
            rows.append(notice);
        }
        for (let i = from; i < to; i += 1) {
            rows.append(this.rowElement(this.items[i], i));
        }
        this.spacer.replaceChildren(rows);
    }

    rowElement(item, index) {
        const row = document.createElement('div');
        row.style.top = `${index * rowHeight}px`;
        if (!Array.isArray(item)) {
            row.className = 'patch-row fold';
            row.dataset.fold = item.fold;
            row.textContent = `⋯ ${item.rows.length} unchanged line${item.rows.length === 1 ? '' : 's'} (click to show)`;
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
