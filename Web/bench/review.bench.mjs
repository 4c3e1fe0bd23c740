// The review panel against git itself, side by side in one run, alternating sides:
//   - the patch of a 10,000-line changed file, from the click in the page to its rows drawn,
//     against `git diff` printing that patch (target: at most 3 times);
//   - the list of 5,000 changed files (review.files over the page's WebSocket) against
//     `git diff --numstat` plus `git ls-files --others --exclude-standard` (target: 1.2 times),
//     and the same list with 300 files marked reviewed (each mark checked against its patch).
// Medians of the rounds; the load average is printed with them.
//
//   node Web/bench/review.bench.mjs ORVEX_BINARY [ROUNDS]
import { execFileSync } from 'node:child_process';
import { mkdirSync, writeFileSync } from 'node:fs';
import { loadavg, tmpdir } from 'node:os';
import { join } from 'node:path';
import { newSession, openPage, openRepository, runWorkbench, wait } from '../tests/harness.mjs';

const [orvex, roundsArg] = process.argv.slice(2);
const rounds = Number(roundsArg ?? 15);
const largeLines = 10000;
const manyFiles = 5000;

const median = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    return sorted[Math.floor(sorted.length / 2)];
};
const since = (start) => Number(process.hrtime.bigint() - start) / 1e6;

await runWorkbench('review-bench', [orvex, join(tmpdir(), 'orvex-review-bench-shots')], async (workbench) => {
    const { page, repo, git, env } = workbench;
    await page.setViewport({ width: 1280, height: 720 });
    writeFileSync(join(repo, 'large.txt'), Array.from({ length: largeLines }, (_, i) => `old ${i}\n`).join(''));
    for (let i = 0; i < manyFiles; i += 1) {
        mkdirSync(join(repo, 'many', String(i % 50)), { recursive: true });
        writeFileSync(join(repo, 'many', String(i % 50), `f${i}.txt`), `a\nb\n${i}\n`);
    }
    git('add', '.');
    git('commit', '-q', '-m', 'fixture');
    await openPage(workbench);
    await openRepository(page, repo);
    await newSession(page, 'bench', 1);
    const session = await page.evaluate(() => document.querySelector('.session.selected')?.dataset.sessionId);
    const worktree = join(workbench.home, '.orvex-sessions');
    const tree = execFileSync('git', ['worktree', 'list', '--porcelain'], { cwd: repo, env, encoding: 'utf8' })
        .split('\n').filter((l) => l.startsWith('worktree ')).map((l) => l.slice(9)).find((p) => p.startsWith(worktree));
    // Every line of the large file changes; every small file changes; 500 of the many are new.
    writeFileSync(join(tree, 'large.txt'), Array.from({ length: largeLines }, (_, i) => `new ${i}\n`).join(''));
    for (let i = 0; i < manyFiles; i += 1) {
        const name = i < manyFiles - 500 ? `f${i}.txt` : `u${i}.txt`;
        writeFileSync(join(tree, 'many', String(i % 50), name), `a\nc\n${i}\n`);
    }
    const base = execFileSync('git', ['rev-parse', 'HEAD'], { cwd: tree, encoding: 'utf8' }).trim();
    const gitRun = (args) => execFileSync('git', ['-C', tree, ...args], { env, maxBuffer: 1 << 28 });
    // Files written from outside: the panel looks again when the page gets the focus.
    await page.evaluate(() => window.dispatchEvent(new Event('focus')));
    await wait(page, () => document.querySelector('.review-file[data-path="large.txt"]') !== null);

    // The patch: the click on the file to its rows in the page, then a frame drawn.
    const shownPatch = () => page.evaluate(async () => {
        const item = document.querySelector('.review-file[data-path="large.txt"]');
        const box = document.querySelector('.patch-view');
        box.querySelector('.patch-spacer').replaceChildren();
        document.querySelector('.patch-title').textContent = '';
        const start = performance.now();
        item.click();
        // The rows are seen as they enter the page (not at the next frame), then a frame drawn.
        await new Promise((resolve) => {
            const shown = () => document.querySelector('.patch-title').textContent === 'large.txt' &&
                box.querySelector('.patch-row:not(.pending)');
            const watch = new MutationObserver(() => {
                if (shown()) {
                    watch.disconnect();
                    resolve();
                }
            });
            watch.observe(box, { childList: true, subtree: true });
        });
        await new Promise((resolve) => requestAnimationFrame(() => resolve()));
        return performance.now() - start;
    });
    const gitPatch = () => {
        const start = process.hrtime.bigint();
        gitRun(['-c', 'core.quotePath=false', 'diff', '--no-renames', '-U3', base, '--', 'large.txt']);
        return since(start);
    };
    // The first window's answer alone, without drawing: how much of the click is the server's.
    const answered = () => page.evaluate(async (id) => {
        const socket = new WebSocket(`ws://${location.host}/ws`);
        await new Promise((resolve) => { socket.onopen = resolve; });
        const waiting = new Map();
        socket.onmessage = (m) => {
            const message = JSON.parse(m.data);
            waiting.get(message.id)?.(message);
        };
        const call = (callID, method, params) => new Promise((resolve) => {
            waiting.set(callID, resolve);
            socket.send(JSON.stringify({ id: callID, method, params }));
        });
        await call(1, 'hello', { version: 1 });
        const start = performance.now();
        await call(2, 'review.patch', { id, path: 'large.txt', first: 0, count: 60 });
        const elapsed = performance.now() - start;
        socket.close();
        return elapsed;
    }, session);
    // The listing: one review.files call over the page's own connection (after marking the
    // first `marks` files reviewed, when asked to).
    const listed = (marks = 0) => page.evaluate(async (id, marks) => {
        const socket = new WebSocket(`ws://${location.host}/ws`);
        await new Promise((resolve) => { socket.onopen = resolve; });
        let next = 1;
        const waiting = new Map();
        socket.onmessage = (m) => {
            const message = JSON.parse(m.data);
            waiting.get(message.id)?.(message);
        };
        const call = (method, params) => new Promise((resolve) => {
            const callID = next++;
            waiting.set(callID, resolve);
            socket.send(JSON.stringify({ id: callID, method, params }));
        });
        await call('hello', { version: 1 });
        if (marks > 0) {
            const before = await call('review.files', { id });
            for (const [path, , , , reviewed] of before.result.files.slice(0, marks)) {
                if (!reviewed) {
                    await call('review.toggle', { id, path });
                }
            }
        }
        const start = performance.now();
        const answer = await call('review.files', { id });
        const elapsed = performance.now() - start;
        if (!answer.result || answer.result.files.length < 5000) {
            throw new Error(JSON.stringify(answer).slice(0, 300));
        }
        socket.close();
        return elapsed;
    }, session, marks);
    const gitList = () => {
        const start = process.hrtime.bigint();
        gitRun(['-c', 'core.quotePath=false', 'diff', '--no-renames', base, '--numstat', '-z']);
        gitRun(['ls-files', '--others', '--exclude-standard', '-z']);
        return since(start);
    };

    const sides = { page: [], gitPatch: [], list: [], gitList: [], answer: [] };
    await shownPatch();
    await listed();
    for (let round = 0; round < rounds; round += 1) {
        if (round % 2 === 0) {
            sides.gitPatch.push(gitPatch());
            sides.page.push(await shownPatch());
            sides.answer.push(await answered());
            sides.gitList.push(gitList());
            sides.list.push(await listed());
        } else {
            sides.page.push(await shownPatch());
            sides.answer.push(await answered());
            sides.gitPatch.push(gitPatch());
            sides.list.push(await listed());
            sides.gitList.push(gitList());
        }
    }
    // With marks: each marked file's patch is taken to see whether its mark still holds.
    const marks = 300;
    sides.marked = [];
    sides.gitMarked = [];
    await listed(marks);
    for (let round = 0; round < rounds; round += 1) {
        if (round % 2 === 0) {
            sides.gitMarked.push(gitList());
            sides.marked.push(await listed(marks));
        } else {
            sides.marked.push(await listed(marks));
            sides.gitMarked.push(gitList());
        }
    }
    const report = (what, ours, theirs, target) => {
        const a = median(ours);
        const b = median(theirs);
        console.log(`${what}: ${a.toFixed(1)} ms against ${b.toFixed(1)} ms = ${(a / b).toFixed(2)}x (target ${target}x)`);
    };
    console.log(`load average ${loadavg().map((l) => l.toFixed(2)).join(' ')}; ${rounds} rounds, medians`);
    report(`patch of a ${largeLines}-line changed file, click to drawn vs git diff`, sides.page, sides.gitPatch, 3);
    report('of which the first window\'s review.patch answer alone', sides.answer, sides.gitPatch, '-');
    report(`list of ${manyFiles} changed files, review.files vs git numstat + ls-files`, sides.list, sides.gitList, 1.2);
    report(`list of ${manyFiles} changed files, ${marks} marked reviewed, vs git numstat + ls-files`, sides.marked, sides.gitMarked, '-');
});
