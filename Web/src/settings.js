// The settings page: every setting the server describes, under its group, with its one-line
// explanation and the control its kind needs. A value goes to the server as typed; the server
// repairs it and, when what it stored differs, the note it gives stays beside the field. The
// page's appearance follows the settings here and whenever another page or the command line
// changes them (settingsChanged).
import './settings.css';
import { applyAppearance } from './theme.js';

export class SettingsView {
    /// `container` receives the view (hidden until `open`); `link` is the ServerLink.
    constructor(container, link, { onError }) {
        this.link = link;
        this.onError = onError;
        this.items = new Map();
        this.rows = new Map();
        this.element = document.createElement('section');
        this.element.id = 'settings-view';
        this.element.hidden = true;
        this.element.setAttribute('aria-labelledby', 'settings-heading');
        this.element.innerHTML = `<header class="settings-head"><h2 id="settings-heading">Settings</h2>
            <button type="button" class="settings-close">Close</button></header>
            <div class="settings-groups"></div>`;
        this.element.querySelector('.settings-close').addEventListener('click', () => this.close());
        container.append(this.element);
        this.refreshing = null;
    }

    /// `button` opens and closes the view, as Ctrl+, does anywhere on the page; Escape closes it.
    bindOpener(button) {
        this.opener = button;
        button.addEventListener('click', () => (this.isOpen ? this.close() : this.open()));
        document.addEventListener('keydown', (event) => {
            // A dialog open above the page (a new session's form) takes its own Escape.
            if (event.key === 'Escape' && this.isOpen && !document.querySelector('dialog[open]')) {
                event.preventDefault();
                this.close();
            } else if (event.key === ',' && event.ctrlKey && !event.altKey && !event.metaKey) {
                // Before any terminal sees it: the key is the page's.
                event.preventDefault();
                event.stopPropagation();
                if (this.isOpen) {
                    this.close();
                } else {
                    this.open();
                }
            }
        }, { capture: true });
    }

    get isOpen() {
        return !this.element.hidden;
    }

    open() {
        this.element.hidden = false;
        document.body.dataset.view = 'settings';
        this.opener?.setAttribute('aria-pressed', 'true');
        this.element.querySelector('.setting-control :is(input, select, textarea, button)')?.focus();
    }

    close() {
        if (!this.isOpen) {
            return;
        }
        this.element.hidden = true;
        delete document.body.dataset.view;
        this.opener?.setAttribute('aria-pressed', 'false');
        this.opener?.focus();
    }

    /// Fetches the settings and applies them: to the page's appearance and to the fields.
    /// Calls made while one runs share its successor.
    refresh() {
        if (this.refreshing) {
            this.refreshing.again = true;
            return this.refreshing.promise;
        }
        const run = async () => {
            do {
                this.refreshing.again = false;
                const described = await this.link.call('settings.describe');
                const values = Object.fromEntries(described.settings.map((s) => [s.key, s.value]));
                applyAppearance(values, described.fontTokens);
                this.render(described.settings);
            } while (this.refreshing.again);
        };
        this.refreshing = { again: false };
        this.refreshing.promise = run().catch((error) => this.onError(error.message)).finally(() => {
            this.refreshing = null;
        });
        return this.refreshing.promise;
    }

    render(settings) {
        const groups = this.element.querySelector('.settings-groups');
        for (const item of settings) {
            this.items.set(item.key, item);
            let row = this.rows.get(item.key);
            if (!row) {
                row = this.makeRow(item);
                this.rows.set(item.key, row);
                let group = [...groups.children].find((g) => g.dataset.group === item.group);
                if (!group) {
                    group = document.createElement('fieldset');
                    group.className = 'settings-group';
                    group.dataset.group = item.group;
                    const legend = document.createElement('legend');
                    legend.textContent = item.group;
                    group.append(legend);
                    groups.append(group);
                }
                group.append(row.element);
            }
            this.show(row, item);
        }
    }

    makeRow(item) {
        const element = document.createElement('div');
        element.className = 'setting';
        element.dataset.key = item.key;
        const id = `setting-${item.key}`;
        const title = document.createElement('label');
        title.className = 'setting-title';
        title.htmlFor = id;
        title.textContent = item.title;
        const control = makeControl(item);
        control.id = id;
        control.setAttribute('aria-describedby', `${id}-explanation ${id}-repair`);
        const reset = document.createElement('button');
        reset.type = 'button';
        reset.className = 'setting-reset';
        reset.textContent = 'Default';
        reset.title = `Back to the default: ${shown(item, item.default)}`;
        const controls = document.createElement('div');
        controls.className = 'setting-control';
        controls.append(control, reset);
        const explanation = document.createElement('p');
        explanation.className = 'setting-explanation';
        explanation.id = `${id}-explanation`;
        explanation.textContent = item.explanation;
        const repair = document.createElement('p');
        repair.className = 'setting-repair';
        repair.id = `${id}-repair`;
        repair.setAttribute('role', 'status');
        element.append(title, controls, explanation, repair);
        const row = { element, control, reset, repair, editing: false };
        control.addEventListener('input', () => {
            row.editing = true;
        });
        control.addEventListener('change', () => this.save(row, item.key, readControl(this.items.get(item.key), control)));
        reset.addEventListener('click', () => this.save(row, item.key, undefined));
        return row;
    }

    /// Puts `item`'s value into its row, unless the user is typing there.
    show(row, item) {
        if (!(row.editing && document.activeElement === row.control)) {
            writeControl(item, row.control, item.value);
            row.editing = false;
        }
        row.reset.hidden = !item.custom;
    }

    /// Sends a value (undefined: back to the default) and shows what the server stored.
    async save(row, key, value) {
        row.editing = false;
        if (value === null) {
            row.repair.textContent = 'Enter a number.';
            row.element.classList.add('repaired');
            writeControl(this.items.get(key), row.control, this.items.get(key).value);
            return;
        }
        try {
            const answer = value === undefined
                ? await this.link.call('settings.remove', { key })
                : await this.link.call('settings.set', { key, value });
            row.repair.textContent = answer.repair ?? '';
            row.element.classList.toggle('repaired', Boolean(answer.repair));
            const item = { ...this.items.get(key), value: answer.value, custom: value !== undefined };
            this.items.set(key, item);
            this.show(row, item);
        } catch (error) {
            row.repair.textContent = error.message;
            row.element.classList.add('repaired');
        }
        // Every page, this one included, applies the change on the server's settingsChanged.
    }
}

function makeControl(item) {
    switch (item.kind) {
    case 'choice': {
        const select = document.createElement('select');
        for (const choice of item.choices) {
            select.append(new Option(choice.label, choice.value));
        }
        return select;
    }
    case 'boolean': {
        const box = document.createElement('input');
        box.type = 'checkbox';
        return box;
    }
    case 'integer':
    case 'number': {
        const input = document.createElement('input');
        input.type = 'number';
        input.min = String(item.min);
        input.max = String(item.max);
        input.step = item.kind === 'integer' ? '1' : 'any';
        return input;
    }
    case 'list': {
        const area = document.createElement('textarea');
        area.rows = 4;
        area.spellcheck = false;
        return area;
    }
    case 'identifiers': {
        // Collapsed workspaces are set from the sidebar; here they can only go back to none.
        const output = document.createElement('output');
        output.className = 'setting-readonly';
        return output;
    }
    default: {
        const input = document.createElement('input');
        input.type = 'text';
        input.autocomplete = 'off';
        input.spellcheck = false;
        return input;
    }
    }
}

/// The value a control holds, in the type its kind takes; null for a number field that holds
/// no number.
function readControl(item, control) {
    switch (item.kind) {
    case 'boolean':
        return control.checked;
    case 'integer':
    case 'number':
        return control.value.trim() === '' || Number.isNaN(control.valueAsNumber) ? null : control.valueAsNumber;
    case 'list':
        return control.value.split('\n');
    default:
        return control.value;
    }
}

function writeControl(item, control, value) {
    switch (item.kind) {
    case 'boolean':
        control.checked = Boolean(value);
        break;
    case 'list':
        control.value = (value ?? []).join('\n');
        break;
    case 'identifiers':
        control.value = value.length === 0 ? 'none' : `${value.length} collapsed`;
        break;
    default:
        control.value = String(value ?? '');
    }
}

function shown(item, value) {
    if (item.kind === 'list') {
        return value.join(', ');
    }
    if (item.kind === 'identifiers') {
        return 'none';
    }
    if (item.kind === 'choice') {
        return item.choices.find((c) => c.value === value)?.label ?? value;
    }
    return value === '' ? 'empty' : String(value);
}
