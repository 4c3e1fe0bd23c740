// The workbench page in a real browser: headless Chromium (the system's) driven by
// puppeteer-core against a real server with real shells, in a throwaway home.
//
//   node Web/tests/workbench.test.mjs ORVEX_BINARY SCREENSHOT_FOLDER
//
// Exits 77 (skipped) when Chromium is missing. Every wait is on a condition on the page.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [orvex, shots] = process.argv.slice(2);
const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
if (!existsSync(chromium)) {
    console.log(`skipped: no Chromium at ${chromium} (scripts/bootstrap installs it)`);
    process.exit(77);
}
mkdirSync(shots, { recursive: true });

const root = mkdtempSync(join(tmpdir(), 'orvex-web-'));
const home = join(root, 'home');
const repo = join(root, 'repo');
mkdirSync(home);
mkdirSync(repo);
const env = {
    PATH: process.env.PATH, HOME: home, SHELL: '/bin/bash', TERM: 'xterm-256color', LANG: 'C.UTF-8',
    XDG_RUNTIME_DIR: join(root, 'run'), XDG_DATA_HOME: join(root, 'data'), XDG_CONFIG_HOME: join(root, 'config'),
};
mkdirSync(env.XDG_RUNTIME_DIR, { mode: 0o700 });
writeFileSync(join(home, '.gitconfig'), '[user]\n\tname = Web Test\n\temail = web@example.com\n');
writeFileSync(join(home, '.bashrc'), "PS1='$ '\n");
const git = (...args) => execFileSync('git', args, { cwd: repo, env });
git('init', '-q', '-b', 'main');
writeFileSync(join(repo, 'README'), 'hello\n');
git('add', 'README');
git('commit', '-q', '-m', 'first');

const run = (...args) => execFileSync(orvex, args, { env, encoding: 'utf8' });
let browser;
let failed = false;
let step = 0;
let page;

async function check(name, work) {
    try {
        await work();
        console.log(`ok: ${name}`);
    } catch (error) {
        failed = true;
        console.log(`FAILED: ${name}: ${error.stack ?? error}`);
    }
    if (page) {
        step += 1;
        await page.screenshot({ path: join(shots, `${String(step).padStart(2, '0')}-${name.replace(/\W+/g, '-')}.png`) })
            .catch(() => {});
    }
}

const wait = (p, fn, ...args) => p.waitForFunction(fn, { timeout: 30000, polling: 100 }, ...args);
const sessionTitles = (p) => p.$$eval('.session .title', (all) => all.map((e) => e.textContent));
const screenHas = (p, text) => wait(p, (t) => [...document.querySelectorAll('.cell .xterm-rows > div')]
    .some((row) => row.textContent.trim() === t), text);

async function newSession(p, title, cols) {
    await p.click('.workspace .new-session');
    await p.type('#new-session-form input[name=title]', title);
    await p.type('#new-session-form input[name=branch]', title);
    await p.$eval('#new-session-form input[name=cols]', (e, c) => { e.value = String(c); }, cols);
    await p.click('#create-session');
    await wait(p, (t, c) => document.querySelector('.session.selected .title')?.textContent === t &&
        document.querySelectorAll('.cell .xterm').length === c, title, cols);
}

/// Presses on `from`, moves in steps to the point (fx, fy) of `to`'s box, and releases.
async function drag(p, from, to, fx, fy) {
    // Boxes read in the page: the sidebar may be rebuilt at any moment by an event, which
    // would leave an element handle detached.
    const box = async (selector) => (await wait(p, (sel) => {
        const r = document.querySelector(sel)?.getBoundingClientRect();
        return r && r.width > 0 ? { x: r.x, y: r.y, width: r.width, height: r.height } : null;
    }, selector)).jsonValue();
    const a = await box(from);
    const b = await box(to);
    await p.mouse.move(a.x + a.width / 2, a.y + a.height / 2);
    await p.mouse.down();
    await p.mouse.move(b.x + b.width * fx, b.y + b.height * fy, { steps: 8 });
    await p.mouse.up();
}

try {
    const address = run('web', '--no-open').trim();
    browser = await puppeteer.launch({
        executablePath: chromium,
        headless: true,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync',
            // Two pages are open at once: neither may be slowed down for being in the background.
            '--disable-background-timer-throttling', '--disable-backgrounding-occluded-windows',
            '--disable-renderer-backgrounding',
            `--user-data-dir=${join(root, 'chromium')}`, '--window-size=1400,900'],
        defaultViewport: { width: 1400, height: 900 },
    });
    page = await browser.newPage();

    await check('the token opens the page', async () => {
        await page.goto(address);
        await wait(page, () => document.body.dataset.connected === 'true');
        if (new URL(page.url()).search !== '') {
            throw new Error(`the token stays in the address bar: ${page.url()}`);
        }
    });

    await check('a repository opens into the sidebar', async () => {
        await page.type('#repo-path', repo);
        await page.click('#open-repo button[name=open]');
        await wait(page, () => document.querySelector('.workspace .chip')?.textContent === 'repo');
    });

    await check('a new session runs a shell that echoes', async () => {
        await newSession(page, 'first', 1);
        await page.click('.cell .term');
        await page.keyboard.type('echo hello\n');
        await screenHas(page, 'hello');
    });

    await check('a question turns the mark to needs input and an answer turns it back', async () => {
        await page.keyboard.type("read -p 'Continue? ' x\n");
        await wait(page, () => document.querySelector('.session.selected .mark')?.dataset.status === 'needsInput');
        // Hovering the mark or the terminal's title tells why: the shell asks the question.
        await wait(page, () => document.querySelector('.session.selected .mark').title.includes('Continue?') &&
            [...document.querySelectorAll('.cell .title')].some((t) => t.title.includes('Continue?')));
        await page.keyboard.type('y\n');
        await wait(page, () => ['idle', 'running'].includes(document.querySelector('.session.selected .mark')?.dataset.status));
    });

    await check('a session dragged above another stays there', async () => {
        await newSession(page, 'second', 2);
        await drag(page, '.session[data-index="1"] .title', '.session[data-index="0"]', 0.5, 0.15);
        await wait(page, () => [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'second,first');
    });

    await check('a terminal dropped on the bottom edge of another gets a row of its own', async () => {
        const ids = await page.$$eval('.cell', (cells) => cells.map((c) => c.dataset.terminalId));
        await drag(page, `.cell[data-terminal-id="${ids[0]}"] .cell-head .title`, `.cell[data-terminal-id="${ids[1]}"]`, 0.5, 0.92);
        await wait(page, (first, second) => {
            const rows = [...document.querySelectorAll('.grid-row')].map((r) => [...r.querySelectorAll('.cell')].map((c) => c.dataset.terminalId).join());
            return rows.join('|') === `${second}|${first}`;
        }, ids[0], ids[1]);
    });

    await check('after a reload the order and the layout hold, also in store.json', async () => {
        await page.reload();
        await wait(page, () => document.body.dataset.connected === 'true' && document.querySelectorAll('.grid-row').length === 2);
        const titles = await sessionTitles(page);
        if (titles.join() !== 'second,first') {
            throw new Error(`sidebar order after reload: ${titles}`);
        }
        const store = JSON.parse(readFileSync(join(env.XDG_DATA_HOME, 'Orvex', 'store.json'), 'utf8'));
        const sessions = store.sessions ?? store;
        const order = sessions.map((s) => s.title);
        if (order.join() !== 'second,first') {
            throw new Error(`store.json order: ${order}`);
        }
        const second = sessions.find((s) => s.title === 'second');
        if (!second.gridLayout || second.gridLayout.join() !== '1,1') {
            throw new Error(`store.json grid layout of "second": ${JSON.stringify(second.gridLayout)}`);
        }
    });

    await check('a second page sees what the first did, live', async () => {
        const other = await browser.newPage();
        await other.goto(new URL('/', address).href);
        await wait(other, () => document.body.dataset.connected === 'true' &&
            [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'second,first');
        await page.bringToFront();
        await drag(page, '.session[data-index="1"] .title', '.session[data-index="0"]', 0.5, 0.15);
        await wait(other, () => [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'first,second');
        await other.bringToFront();
        await other.screenshot({ path: join(shots, 'second-page.png') });
        await other.close();
    });
} catch (error) {
    failed = true;
    console.log(`FAILED: ${error.stack ?? error}`);
} finally {
    await browser?.close().catch(() => {});
    try {
        run('server', 'stop');
    } catch {
        // Already gone.
    }
    rmSync(root, { recursive: true, force: true });
}
console.log(failed ? 'the workbench page failed; screenshots are in ' + shots : 'the workbench page passed; screenshots are in ' + shots);
process.exit(failed ? 1 : 0);
