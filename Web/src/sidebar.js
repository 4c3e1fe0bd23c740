// The sidebar: workspaces in the user's order with their colour chip, each one's sessions in
// order with a live status mark; sessions are dragged to reorder, renamed and deleted here.
import { makeDraggable } from './drag.js';

/// The mark a session shows: a pending bell first, then the live status of its open grid.
export function sessionMark(state, sessionID) {
    if (state.bellPending.includes(sessionID)) {
        return 'bell';
    }
    if (!state.openGrids.includes(sessionID)) {
        return 'notRunning';
    }
    return state.liveStatuses[sessionID] ?? 'idle';
}

const markNames = {
    running: 'working', idle: 'idle', needsInput: 'needs input', bell: 'bell', notRunning: 'not running',
};

/// Each sidebar's workspace sections by workspace ID, kept from one rendering to the next.
const sectionsOf = new WeakMap();

export function renderSidebar(container, state, view, actions) {
    // A workspace keeps its section and only what is inside is rebuilt: a section inserted anew
    // is skipped by hit testing until the next frame (it is drawn lazily, content-visibility),
    // so a click or a drop landing right after a state change would fall through to nothing.
    const previous = sectionsOf.get(container) ?? new Map();
    const sections = new Map();
    for (const workspace of state.workspaces) {
        const collapsed = view.collapsed.has(workspace.id);
        const section = previous.get(workspace.id) ?? document.createElement('section');
        sections.set(workspace.id, section);
        section.className = 'workspace';
        section.dataset.workspaceId = workspace.id;
        const head = document.createElement('div');
        head.className = 'workspace-head';
        const chip = document.createElement('span');
        chip.className = 'chip';
        if (workspace.color) {
            chip.style.background = workspace.color;
            chip.classList.toggle('dark-text', state.prefersDarkText?.[workspace.id] === true);
        }
        chip.textContent = workspace.displayName;
        const toggle = document.createElement('span');
        toggle.textContent = collapsed ? '▸' : '▾';
        const spacer = document.createElement('span');
        spacer.className = 'spacer';
        const add = document.createElement('button');
        add.className = 'new-session';
        add.title = 'New session';
        add.textContent = '+';
        add.addEventListener('click', (event) => {
            event.stopPropagation();
            actions.newSession(workspace);
        });
        head.append(toggle, chip, spacer, add);
        head.addEventListener('click', () => actions.toggleCollapsed(workspace.id));
        const sessions = state.sessions.filter((s) => s.workspaceID === workspace.id);
        section.style.setProperty('--rows', String(collapsed ? 0 : sessions.length));
        if (collapsed) {
            section.replaceChildren(head);
        } else {
            const list = document.createElement('ul');
            list.className = 'sessions';
            sessions.forEach((session, index) => list.append(sessionItem(state, view, session, index, actions)));
            section.replaceChildren(head, list);
        }
    }
    sectionsOf.set(container, sections);
    const ordered = [...sections.values()];
    const inPlace = container.children.length === ordered.length &&
        ordered.every((section, index) => container.children[index] === section);
    if (!inPlace) {
        container.replaceChildren(...ordered);
    }
}

function sessionItem(state, view, session, index, actions) {
    const item = document.createElement('li');
    item.className = 'session';
    item.classList.toggle('selected', session.id === view.selectedSessionID);
    item.dataset.sessionId = session.id;
    item.dataset.index = String(index);
    item.dataset.workspaceId = session.workspaceID;
    const mark = document.createElement('span');
    mark.className = 'mark';
    mark.dataset.status = sessionMark(state, session.id);
    // On hover: the status, then why each running terminal has its own.
    mark.title = [markNames[mark.dataset.status],
        ...(state.terminals?.[session.id] ?? []).map((t) => `${t.title}: ${t.reason ?? t.status}`)].join('\n');
    const title = document.createElement('span');
    title.className = 'title';
    title.textContent = session.title || session.branch || session.slug;
    title.title = session.branch ?? '';
    const rename = document.createElement('button');
    rename.className = 'rename';
    rename.title = 'Rename';
    rename.textContent = '✎';
    rename.addEventListener('click', (event) => {
        event.stopPropagation();
        actions.renameSession(session);
    });
    const remove = document.createElement('button');
    remove.className = 'delete';
    remove.title = 'Delete';
    remove.textContent = '✕';
    remove.addEventListener('click', (event) => {
        event.stopPropagation();
        actions.deleteSession(session);
    });
    item.append(mark, title, rename, remove);
    item.addEventListener('click', () => actions.select(session.id));
    const clearDrop = (target) => target.classList.remove('drop-before', 'drop-after');
    const below = (target, event) => {
        const box = target.getBoundingClientRect();
        return event.clientY > box.top + box.height / 2;
    };
    makeDraggable(item, {
        targets: `.session[data-workspace-id="${session.workspaceID}"]`,
        over: (target, event) => {
            clearDrop(target);
            target.classList.add(below(target, event) ? 'drop-after' : 'drop-before');
        },
        leave: clearDrop,
        drop: (target, event) => {
            const to = Number(target.dataset.index) + (below(target, event) ? 1 : 0);
            actions.moveSession(session.workspaceID, index, to);
        },
    });
    return item;
}

/// The branch names a new session can take, for `<option>`s: the local branches, then each of
/// origin's branches that has no local one (the server makes it a local branch tracking
/// origin's). Other remotes' branches are left out: a name like "upstream/x" would make a new
/// branch of that name from HEAD, not check out upstream's.
export function branchChoices({ local, remote }) {
    const choices = local.map((name) => ({ value: name, label: 'local branch' }));
    const taken = new Set(local);
    for (const name of remote) {
        const short = name.startsWith('origin/') ? name.slice('origin/'.length) : null;
        if (short && !taken.has(short)) {
            taken.add(short);
            choices.push({ value: short, label: name });
        }
    }
    return choices;
}

/// Fills `list` with the workspace's branches; `stillWanted()` says whether the form still
/// belongs to that workspace when they arrive.
export async function offerBranches(list, link, workspaceID, stillWanted) {
    list.replaceChildren();
    const branches = await link.call('workspace.branches', { id: workspaceID });
    if (!stillWanted()) {
        return;
    }
    list.replaceChildren(...branchChoices(branches).map(({ value, label }) => {
        const option = document.createElement('option');
        option.value = value;
        option.label = label;
        return option;
    }));
}
