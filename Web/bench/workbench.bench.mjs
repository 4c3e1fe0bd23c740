// The web page's benchmarks against a real server (a release build) and headless Chromium.
//
//   node Web/bench/workbench.bench.mjs ORVEX_BINARY [MEGABYTES] [BASELINE_BINARY]
//   (MEGABYTES 0: no throughput)
//
// Output throughput: `cat` of a file (50 MB) in a terminal until its end is on the page's
// terminal, against the same `cat` in another session of the same server until its end reaches
// `orvex run` attached over the socket (on a pseudo-terminal of the same size, made by
// script(1)); alternating which side goes first over ROUNDS rounds (default 3). Ratio:
// browser/run (target at least 0.5), with the load average beside each round.
//
// First page load: a fresh browser context opens the page with its token until the sidebar
// shows 20 workspaces and 200 sessions (target at most 300 ms), alternating with a page of a
// server with no workspaces until its live connection is up; medians of 9. With a baseline
// binary (another build, say main's), its two pages take turns with these in each round, so
// both builds are measured side by side under the same load.
//
// Memory: the server's resident memory added per open page (20 pages, no grid shown), beside
// the bound on what may queue for a page.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { connect } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [orvex, megabytesArgument, baseline] = process.argv.slice(2);
const megabytes = Number(megabytesArgument ?? 50);
const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
if (!orvex || !existsSync(chromium)) {
    console.log(`usage: workbench.bench.mjs ORVEX_BINARY [MEGABYTES] [BASELINE_BINARY] (needs Chromium at ${chromium})`);
    process.exit(77);
}
const root = mkdtempSync(join(tmpdir(), 'orvex-web-bench-'));
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const load = () => readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');
const rounds = Number(process.env.ROUNDS ?? 3);

/// A throwaway home with its own server.
function makeHome(name, binary = orvex) {
    const dir = join(root, name);
    const env = {
        PATH: process.env.PATH, HOME: join(dir, 'home'), SHELL: '/bin/sh', TERM: 'xterm-256color', LANG: 'C.UTF-8',
        XDG_RUNTIME_DIR: join(dir, 'run'), XDG_DATA_HOME: join(dir, 'data'), XDG_CONFIG_HOME: join(dir, 'config'),
    };
    mkdirSync(env.HOME, { recursive: true });
    mkdirSync(env.XDG_RUNTIME_DIR, { mode: 0o700 });
    writeFileSync(join(env.HOME, '.gitconfig'), '[user]\n\tname = Bench\n\temail = bench@example.com\n');
    const run = (...args) => execFileSync(binary, args, { env, encoding: 'utf8' });
    const address = run('web', '--no-open').trim();
    return { dir, env, run, address, socket: join(env.XDG_RUNTIME_DIR, 'orvex', 'server.sock') };
}

function makeRepo(path, env) {
    mkdirSync(path, { recursive: true });
    const git = (...args) => execFileSync('git', args, { cwd: path, env, encoding: 'utf8' });
    git('init', '-q', '-b', 'main');
    writeFileSync(join(path, 'README'), 'bench\n');
    git('add', 'README');
    git('commit', '-q', '-m', 'first');
}

/// A client of the server's socket: JSON requests, one per line.
async function socketClient(path) {
    const socket = connect(path);
    await new Promise((resolve, reject) => socket.once('connect', resolve).once('error', reject));
    const pending = new Map();
    let buffered = '';
    let nextID = 1;
    socket.setEncoding('utf8');
    socket.on('data', (text) => {
        buffered += text;
        let end;
        while ((end = buffered.indexOf('\n')) >= 0) {
            const message = JSON.parse(buffered.slice(0, end));
            buffered = buffered.slice(end + 1);
            const waiting = pending.get(message.id);
            if (waiting) {
                pending.delete(message.id);
                message.error ? waiting.reject(new Error(message.error.message)) : waiting.resolve(message.result);
            }
        }
    });
    const call = (method, params = {}) => new Promise((resolve, reject) => {
        const id = nextID++;
        pending.set(id, { resolve, reject });
        socket.write(`${JSON.stringify({ id, method, params })}\n`);
    });
    await call('hello', { version: 1, client: 'web benchmark' });
    return { call, close: () => socket.end() };
}

const residentMB = (pid) => {
    const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return (Number(fields[21]) * 4096) / 1048576;
};

const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    protocolTimeout: 0,
    // DevTools' network tracking would copy every WebSocket message to this script, a cost no
    // user's browser pays: during a flood it added half again to the browser's processor time.
    networkEnabled: false,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', '--disable-background-timer-throttling',
        '--disable-backgrounding-occluded-windows', '--disable-renderer-backgrounding',
        `--user-data-dir=${join(root, 'chromium')}`, '--window-size=1400,900'],
    defaultViewport: { width: 1400, height: 900 },
});
const homes = [];

async function throughput() {
    const home = makeHome('flood');
    homes.push(home);
    const repo = join(home.dir, 'repo');
    makeRepo(repo, home.env);
    home.run('open', repo);
    home.run('new', '-b', 'flood-web');
    home.run('new', '-b', 'flood-run');
    const sessionsRoot = join(home.env.HOME, '.orvex-sessions');
    let line = '';
    for (let i = 0; i < 99; ++i) {
        line += String.fromCharCode(97 + (i % 26));
    }
    line += '\n';
    const big = Buffer.from(line.repeat(Math.ceil((megabytes * 1048576) / line.length)));
    for (const tree of ['flood-web', 'flood-run']) {
        writeFileSync(join(sessionsRoot, tree, 'big.txt'), big);
    }

    const page = await browser.newPage();
    await page.goto(home.address);
    await page.waitForFunction(() => document.querySelectorAll('.session').length === 2);
    await page.$$eval('.session .title', (titles) => titles.find((t) => t.textContent === 'flood-web').click());
    await page.waitForFunction(() => document.querySelector('.cell .xterm-rows') !== null);
    await page.click('.cell .term');
    const rowsOnPage = (p) => p.$$eval('.cell .xterm-rows > div', (rows) => rows.map((r) => r.textContent.trim()));
    const waitForRow = (text) => page.waitForFunction((t) => [...document.querySelectorAll('.cell .xterm-rows > div')]
        .some((row) => row.textContent.trim() === t), { timeout: 0, polling: 50 }, text);
    await page.keyboard.type('stty size\n');
    await page.waitForFunction(() => [...document.querySelectorAll('.cell .xterm-rows > div')]
        .some((row) => /^\d+ \d+$/.test(row.textContent.trim())));
    const [rows, cols] = (await rowsOnPage(page)).find((r) => /^\d+ \d+$/.test(r)).split(' ').map(Number);
    // The page that falls behind holds the program until it catches up; one that stays behind
    // is dropped and reconnects, which is counted.
    await page.evaluate(() => {
        window.benchDrops = 0;
        new MutationObserver(() => {
            if (document.body.dataset.connected === 'false') {
                window.benchDrops += 1;
            }
        }).observe(document.body, { attributes: true, attributeFilter: ['data-connected'] });
    });

    // `orvex run` on a pseudo-terminal of the page's terminal's size.
    const attached = spawn('script', ['-qfec', `stty rows ${rows} cols ${cols}; exec ${orvex} run flood-run`, '/dev/null'],
        { env: home.env, stdio: ['pipe', 'pipe', 'ignore'] });
    let seen = '';
    let waiter = null;
    attached.stdout.on('data', (chunk) => {
        // Only the tail matters: the marker is looked for in what came since the command.
        seen = (seen + chunk.toString('latin1')).slice(-4096);
        if (waiter && seen.includes(waiter.marker)) {
            const { resolve } = waiter;
            waiter = null;
            resolve();
        }
    });
    const runWaitFor = (marker) => new Promise((resolve) => {
        if (seen.includes(marker)) {
            resolve();
            return;
        }
        waiter = { marker, resolve };
    });
    attached.stdin.write(`cd '${join(sessionsRoot, 'flood-run')}'; echo rea''dy\r`);
    await runWaitFor('ready');
    await page.keyboard.type(`cd '${join(sessionsRoot, 'flood-web')}'; echo rea''dy\n`);
    await waitForRow('ready');

    // `orvex run` redraws only the cells that changed: a marker one digit apart from the last
    // one on the same row would arrive as that digit alone, so the screen is cleared first
    // (on both sides).
    let round = 0;
    const viaRun = async () => {
        round += 1;
        seen = '';
        attached.stdin.write(`cat big.txt; clear; echo do''ne-${round}`);
        const start = performance.now();
        attached.stdin.write('\r');
        await runWaitFor(`done-${round}`);
        const seconds = (performance.now() - start) / 1000;
        console.log(`  orvex run round ${round}: ${seconds.toFixed(1)} s (load ${load()})`);
        return seconds;
    };
    const viaPage = async () => {
        round += 1;
        await page.keyboard.type(`cat big.txt; clear; echo do''ne-${round}`);
        const start = performance.now();
        await page.keyboard.press('Enter');
        await waitForRow(`done-${round}`);
        const seconds = (performance.now() - start) / 1000;
        console.log(`  page round ${round}: ${seconds.toFixed(1)} s (load ${load()}), ` +
            `dropped ${await page.evaluate(() => window.benchDrops)} times so far`);
        return seconds;
    };
    let runTotal = 0;
    let pageTotal = 0;
    for (let i = 0; i < rounds; ++i) {
        if (i % 2 === 0) {
            pageTotal += await viaPage();
            runTotal += await viaRun();
        } else {
            runTotal += await viaRun();
            pageTotal += await viaPage();
        }
    }
    const drops = await page.evaluate(() => window.benchDrops);
    attached.kill();
    await page.close();
    const mb = rounds * megabytes;
    console.log(`cat ${megabytes} MB x ${rounds} at ${rows}x${cols}: page ${(mb / pageTotal).toFixed(1)} MB/s, ` +
        `orvex run ${(mb / runTotal).toFixed(1)} MB/s, page/run ${(runTotal / pageTotal).toFixed(2)} ` +
        `(target >= 0.5); the page was dropped for falling behind ${drops} times`);
}

/// A server of `binary` with 20 workspaces of 10 sessions each, and one with none.
async function firstLoadHomes(label, binary) {
    const full = makeHome(`full-${label}`, binary);
    const empty = makeHome(`empty-${label}`, binary);
    homes.push(full, empty);
    const client = await socketClient(full.socket);
    for (let w = 0; w < 20; ++w) {
        const repo = join(full.dir, `repo-${String(w).padStart(2, '0')}`);
        makeRepo(repo, full.env);
        const { workspace } = await client.call('workspace.open', { path: repo });
        for (let s = 0; s < 10; ++s) {
            await client.call('session.add', {
                workspaceID: workspace.id, title: `session ${w}.${s}`, branch: null, command: null,
                useWorktree: false, rows: 1, cols: 1,
            });
        }
    }
    client.close();
    return { label, full, empty, fullTimes: [], emptyTimes: [] };
}

async function firstLoad() {
    const builds = [await firstLoadHomes('this', orvex)];
    if (baseline) {
        builds.push(await firstLoadHomes('baseline', baseline));
    }

    const load = async (home, workspaces, sessions) => {
        const context = await browser.createBrowserContext();
        const page = await context.newPage();
        // The moments are taken in the page: the change that completes the sidebar, and the
        // end of the frame that draws it (a message posted from that frame's animation
        // callback arrives once its layout and paint are done).
        await page.evaluateOnNewDocument((w, s) => {
            const complete = () => document.body?.dataset.connected === 'true' &&
                document.querySelectorAll('.workspace').length === w && document.querySelectorAll('.session').length === s;
            new MutationObserver((changes, observer) => {
                if (complete()) {
                    window.benchComplete = performance.now();
                    observer.disconnect();
                    requestAnimationFrame(() => {
                        const channel = new MessageChannel();
                        channel.port1.onmessage = () => {
                            window.benchPainted = performance.now();
                        };
                        channel.port2.postMessage(null);
                    });
                }
            }).observe(document, { subtree: true, childList: true, attributes: true });
        }, workspaces, sessions);
        await page.goto(home.address);
        const ms = await page.waitForFunction(() => window.benchPainted && [window.benchComplete, window.benchPainted],
            { timeout: 60000 });
        const value = await ms.jsonValue();
        await context.close();
        return value;
    };
    // Every kind of page once first, unmeasured: the browser's own first-use costs.
    const turns = builds.flatMap((build) => [
        async () => build.fullTimes.push(await load(build.full, 20, 200)),
        async () => build.emptyTimes.push(await load(build.empty, 0, 0)),
    ]);
    for (const build of builds) {
        await load(build.full, 20, 200);
        await load(build.empty, 0, 0);
    }
    // Each round takes the turns in the other order than the last.
    for (let i = 0; i < 9; ++i) {
        for (const turn of i % 2 === 0 ? turns : [...turns].reverse()) {
            await turn();
        }
    }
    const complete = (times) => median(times.map(([done]) => done));
    const painted = (times) => median(times.map(([, drawn]) => drawn));
    for (const build of builds) {
        const name = baseline ? ` (${build.label === 'this' ? orvex : baseline})` : '';
        console.log(`first page load to a complete sidebar${name}: 20 workspaces, 200 sessions ` +
            `${complete(build.fullTimes).toFixed(0)} ms, drawn ${painted(build.fullTimes).toFixed(0)} ms (target <= 300); ` +
            `empty page ${complete(build.emptyTimes).toFixed(0)} ms, drawn ${painted(build.emptyTimes).toFixed(0)} ms ` +
            `(medians of 9)`);
    }
    if (baseline) {
        const [mine, theirs] = builds;
        console.log(`this build / baseline: 200 sessions ${(complete(mine.fullTimes) / complete(theirs.fullTimes)).toFixed(2)} ` +
            `(drawn ${(painted(mine.fullTimes) / painted(theirs.fullTimes)).toFixed(2)}), empty page ` +
            `${(complete(mine.emptyTimes) / complete(theirs.emptyTimes)).toFixed(2)} ` +
            `(drawn ${(painted(mine.emptyTimes) / painted(theirs.emptyTimes)).toFixed(2)})`);
    }
    return builds[0].full;
}

async function memory(home) {
    const client = await socketClient(home.socket);
    const { pid } = await client.call('server.status');
    const open = async () => {
        const context = await browser.createBrowserContext();
        const page = await context.newPage();
        await page.goto(home.address);
        await page.waitForFunction(() => document.body.dataset.connected === 'true' &&
            document.querySelectorAll('.session').length === 200, { timeout: 60000 });
        return context;
    };
    // A page opened and closed first: what the server allocates once is not counted.
    await (await open()).close();
    await new Promise((resolve) => setTimeout(resolve, 1000));
    const before = residentMB(pid);
    const contexts = [];
    for (let i = 0; i < 20; ++i) {
        contexts.push(await open());
    }
    await new Promise((resolve) => setTimeout(resolve, 1000));
    const after = residentMB(pid);
    client.close();
    for (const context of contexts) {
        await context.close();
    }
    console.log(`server memory per open page: ${((after - before) / contexts.length * 1024).toFixed(0)} KB ` +
        `(${contexts.length} pages; resident ${(before * 1024).toFixed(0)} KB before, ` +
        `${(after * 1024).toFixed(0)} KB after; target <= 1 MB plus the output queue, which is bounded at 8 MiB per page)`);
}

try {
    console.log(`load before: ${readFileSync('/proc/loadavg', 'utf8').trim()}`);
    if (megabytes > 0) {
        await throughput();
    }
    const full = await firstLoad();
    await memory(full);
    console.log(`load after: ${readFileSync('/proc/loadavg', 'utf8').trim()}`);
} finally {
    await browser.close().catch(() => {});
    for (const home of homes) {
        try {
            home.run('server', 'stop');
        } catch {
            // Already gone.
        }
    }
    rmSync(root, { recursive: true, force: true });
}
