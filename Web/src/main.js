// The workbench page: the sidebar of workspaces and sessions, and the selected session's
// grid, kept live over one WebSocket to the server.
import './style.css';
import { ServerLink } from './link.js';
import { offerBranches, renderSidebar } from './sidebar.js';
import { GridView } from './grid.js';
import { isSwitchKey } from './keys.js';
import { SettingsView } from './settings.js';
import { onAppearance, restyleTerminals } from './theme.js';
import { ReviewPanel } from './review.js';

const $ = (id) => document.getElementById(id);

const view = { selectedSessionID: null, collapsed: new Set() };
let state = null;
let refreshing = null;

function showNotice(text) {
    $('notice').hidden = !text;
    $('notice').textContent = text ?? '';
}

const link = new ServerLink({
    onConnected: async () => {
        $('connection').textContent = 'connected';
        document.body.dataset.connected = 'true';
        grid.clear();
        grid.sessionID = null;
        settingsView.refresh();
        await reload();
        if (view.selectedSessionID) {
            await grid.show(view.selectedSessionID);
        }
        review.refresh();
    },
    onDisconnected: (why) => {
        $('connection').textContent = why;
        document.body.dataset.connected = 'false';
    },
    onEvent: (name, data) => {
        if (name === 'statusChanged' && state) {
            state.liveStatuses[data.sessionID] = data.status;
            if (data.terminalID && data.terminalStatus) {
                const terminal = (state.terminals?.[data.sessionID] ?? []).find((t) => t.id === data.terminalID);
                if (terminal) {
                    terminal.status = data.terminalStatus;
                    terminal.reason = data.reason;
                }
                grid.showStatus(data.terminalID, data.terminalStatus, data.reason);
            }
            review.statusChanged(data);
            render();
        } else if (name === 'settingsChanged') {
            settingsView.refresh();
            if (data.key === 'collapsedWorkspaceIDs') {
                reload();
            }
        } else if (name === 'gridChanged' && data.sessionID === view.selectedSessionID) {
            grid.refresh();
            reload();
        } else {
            if (name === 'terminalExited' && data.sessionID === view.selectedSessionID) {
                grid.refresh();
            }
            reload();
        }
    },
    onTerminal: (kind, id, bytes) => grid.terminalBytes(kind, id, bytes),
});
const grid = new GridView($('grid'), link, { onError: showNotice, addButton: $('add-terminal') });
const settingsView = new SettingsView($('main'), link, { onError: showNotice });
settingsView.bindOpener($('open-settings'));
onAppearance(() => restyleTerminals(grid.views.values()));
const review = new ReviewPanel($('review'), $('review-divider'), link, { onError: showNotice });

/// Fetches the state again; calls made while one is under way share its successor.
function reload() {
    if (refreshing) {
        refreshing.again = true;
        return refreshing.promise;
    }
    const run = async () => {
        do {
            refreshing.again = false;
            const [next, settings] = await Promise.all([link.call('state.get'), link.call('settings.get')]);
            state = next;
            view.collapsed = new Set(settings.values.collapsedWorkspaceIDs ?? []);
            review.applySettings(settings.values);
            if (!view.selectedSessionID && state.activeTerminalSessionID) {
                view.selectedSessionID = state.activeTerminalSessionID;
                grid.show(view.selectedSessionID);
            }
            if (view.selectedSessionID && !state.sessions.some((s) => s.id === view.selectedSessionID)) {
                view.selectedSessionID = null;
                grid.show(null);
            }
            render();
        } while (refreshing.again);
    };
    refreshing = { again: false };
    refreshing.promise = run().catch((error) => showNotice(error.message)).finally(() => {
        refreshing = null;
    });
    return refreshing.promise;
}

function render() {
    if (!state) {
        return;
    }
    renderSidebar($('workspaces'), state, view, actions);
    review.show(view.selectedSessionID);
    const session = state.sessions.find((s) => s.id === view.selectedSessionID);
    $('session-title').textContent = session ? `${session.title || session.slug} — ${session.branch}` : 'No session selected';
}

async function guarded(work) {
    try {
        showNotice(null);
        return await work();
    } catch (error) {
        showNotice(error.message);
        return undefined;
    }
}

const actions = {
    select: (sessionID) => guarded(async () => {
        settingsView.close();
        view.selectedSessionID = sessionID;
        render();
        await link.call('session.focus', { id: sessionID });
        // Focusing cleared the session's bell.
        reload();
        // Another session chosen meanwhile keeps the grid: showing this one's would clear it.
        if (view.selectedSessionID !== sessionID) {
            return;
        }
        await grid.show(sessionID);
        if (view.selectedSessionID === sessionID) {
            grid.focusFirst();
        }
    }),
    toggleCollapsed: (workspaceID) => guarded(async () => {
        if (!view.collapsed.delete(workspaceID)) {
            view.collapsed.add(workspaceID);
        }
        render();
        await link.call('settings.set', { key: 'collapsedWorkspaceIDs', value: [...view.collapsed] });
    }),
    moveSession: (workspaceID, from, to) =>
        guarded(() => link.call('session.move', { workspaceID, from: [from], to })),
    renameSession: (session) => guarded(async () => {
        const title = prompt('Session title', session.title);
        if (title !== null) {
            await link.call('session.rename', { id: session.id, title });
        }
    }),
    deleteSession: (session) => guarded(async () => {
        if (!confirm(`Delete the session “${session.title || session.slug}” and its worktree?`)) {
            return;
        }
        try {
            await link.call('session.delete', { id: session.id, force: false });
        } catch (error) {
            // The server refuses to lose work: say why and let the user insist.
            if (error.details?.type !== 'app' || !confirm(`${error.message}\n\nDelete it anyway?`)) {
                throw error;
            }
            await link.call('session.delete', { id: session.id, force: true });
        }
    }),
    newSession: (workspace) => {
        const dialog = $('new-session');
        dialog.dataset.workspaceId = workspace.id;
        $('new-session-workspace').textContent = workspace.displayName;
        $('new-session-error').textContent = '';
        dialog.showModal();
        offerBranches($('branch-options'), link, workspace.id,
            () => dialog.open && dialog.dataset.workspaceId === workspace.id)
            .catch((error) => { $('new-session-error').textContent = error.message; });
    },
};

$('new-session-form').addEventListener('submit', async (event) => {
    if (event.submitter?.value !== 'create') {
        return;
    }
    event.preventDefault();
    const form = new FormData(event.target);
    const text = (name) => (form.get(name) || '').trim() || null;
    try {
        const { session } = await link.call('session.add', {
            workspaceID: $('new-session').dataset.workspaceId,
            title: text('title'),
            branch: text('branch'),
            command: text('command'),
            useWorktree: form.get('useWorktree') === 'on',
            rows: Number(form.get('rows')),
            cols: Number(form.get('cols')),
        });
        $('new-session').close();
        event.target.reset();
        await reload();
        await actions.select(session.id);
    } catch (error) {
        $('new-session-error').textContent = error.message;
    }
});

$('open-repo').addEventListener('submit', (event) => {
    event.preventDefault();
    guarded(async () => {
        const path = $('repo-path').value.trim();
        const opened = await link.call('workspace.open', { path });
        if (opened.kind === 'notGitRepo') {
            throw new Error(`${path} is not a git repository: "Init" makes it one`);
        }
        $('repo-path').value = '';
    });
});
$('init-repo').addEventListener('click', () => guarded(async () => {
    await link.call('workspace.init', { path: $('repo-path').value.trim() });
    $('repo-path').value = '';
}));

/// The sessions in sidebar order, skipping collapsed workspaces.
function visibleSessions() {
    if (!state) {
        return [];
    }
    return state.workspaces.filter((w) => !view.collapsed.has(w.id))
        .flatMap((w) => state.sessions.filter((s) => s.workspaceID === w.id));
}

document.addEventListener('keydown', (event) => {
    if (!isSwitchKey(event)) {
        return;
    }
    event.preventDefault();
    if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
        grid.focusNext(event.key === 'ArrowRight' ? 1 : -1);
        return;
    }
    const sessions = visibleSessions();
    if (sessions.length === 0) {
        return;
    }
    const at = sessions.findIndex((s) => s.id === view.selectedSessionID);
    const step = event.key === 'ArrowDown' ? 1 : -1;
    actions.select(sessions[(at + step + sessions.length) % sessions.length].id);
}, { capture: true });
