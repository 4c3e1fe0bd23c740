// What every browser test of the page shares: a throwaway home with one git repository, a
// real server started by `orvex web`, headless Chromium (the system's) driven by
// puppeteer-core, named checks with a screenshot after each, and waits on page conditions.
//
// Exits 77 (skipped) when Chromium is missing.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

/// Sets up the home, the repository and the browser; `body(workbench)` runs the checks.
/// Exits the process with 0 when every check passed, 1 otherwise.
export async function runWorkbench(name, [orvex, shots], body) {
    const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
    if (!existsSync(chromium)) {
        console.log(`skipped: no Chromium at ${chromium} (scripts/bootstrap installs it)`);
        process.exit(77);
    }
    mkdirSync(shots, { recursive: true });

    const root = mkdtempSync(join(tmpdir(), `orvex-${name}-`));
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
    const git = (...args) => execFileSync('git', args, { cwd: repo, env, encoding: 'utf8' });
    git('init', '-q', '-b', 'main');
    writeFileSync(join(repo, 'README'), 'hello\n');
    git('add', 'README');
    git('commit', '-q', '-m', 'first');

    const run = (...args) => execFileSync(orvex, args, { env, encoding: 'utf8' });
    const workbench = { root, home, repo, env, git, run, shots, browser: null, page: null, address: null, failed: false };
    let step = 0;

    /// Runs one named check; a failure is reported and the next check still runs.
    workbench.check = async (title, work) => {
        try {
            await work();
            console.log(`ok: ${title}`);
        } catch (error) {
            workbench.failed = true;
            console.log(`FAILED: ${title}: ${error.stack ?? error}`);
        }
        if (workbench.page) {
            step += 1;
            const file = `${name}-${String(step).padStart(2, '0')}-${title.replace(/\W+/g, '-')}.png`;
            // A page left in the background (another page was brought to the front) is not
            // drawn, and its screenshot would wait for the protocol's timeout.
            await workbench.page.bringToFront().catch(() => {});
            await workbench.page.screenshot({ path: join(shots, file) }).catch(() => {});
        }
    };

    try {
        workbench.address = run('web', '--no-open').trim();
        workbench.browser = await puppeteer.launch({
            executablePath: chromium,
            headless: true,
            args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                '--disable-background-networking', '--disable-component-update', '--disable-sync',
                // Two pages may be open at once: neither may be slowed down for being in the background.
                '--disable-background-timer-throttling', '--disable-backgrounding-occluded-windows',
                '--disable-renderer-backgrounding',
                `--user-data-dir=${join(root, 'chromium')}`, '--window-size=1400,900'],
            defaultViewport: { width: 1400, height: 900 },
            // A call the browser never answers fails the check within a minute, not three.
            protocolTimeout: 60000,
        });
        workbench.page = await workbench.browser.newPage();
        await body(workbench);
    } catch (error) {
        workbench.failed = true;
        console.log(`FAILED: ${error.stack ?? error}`);
    } finally {
        await workbench.browser?.close().catch(() => {});
        try {
            run('server', 'stop');
        } catch {
            // Already gone.
        }
        rmSync(root, { recursive: true, force: true });
    }
    console.log(`the ${name} page ${workbench.failed ? 'failed' : 'passed'}; screenshots are in ${shots}`);
    process.exit(workbench.failed ? 1 : 0);
}

/// Waits until `fn` (run in the page) returns something truthy.
export const wait = (p, fn, ...args) => p.waitForFunction(fn, { timeout: 30000, polling: 100 }, ...args);

export const sessionTitles = (p) => p.$$eval('.session .title', (all) => all.map((e) => e.textContent));

/// Waits until a row of some terminal on the page reads exactly `text`.
export const screenHas = (p, text) => wait(p, (t) => [...document.querySelectorAll('.cell .xterm-rows > div')]
    .some((row) => row.textContent.trim() === t), text);

/// Opens the page with its token and waits for the live connection.
export async function openPage(workbench) {
    await workbench.page.goto(workbench.address);
    await wait(workbench.page, () => document.body.dataset.connected === 'true');
}

/// Opens the workbench's repository into the sidebar.
export async function openRepository(p, repo) {
    await p.type('#repo-path', repo);
    await p.click('#open-repo button[name=open]');
    await wait(p, () => document.querySelector('.workspace .chip') !== null);
}

/// Creates a session through the form and waits for its grid of `cols` terminals.
export async function newSession(p, title, cols) {
    // The sidebar is rebuilt whenever the state changes, so the button is clicked in the page
    // (a handle to it could be detached by then) until the form is open.
    await wait(p, () => {
        const form = document.querySelector('#new-session');
        if (!form.open) {
            document.querySelector('.workspace .new-session')?.click();
        }
        return form.open;
    });
    await p.type('#new-session-form input[name=title]', title);
    await p.type('#new-session-form input[name=branch]', title);
    await p.$eval('#new-session-form input[name=cols]', (e, c) => { e.value = String(c); }, cols);
    await p.click('#create-session');
    await wait(p, (t, c) => document.querySelector('.session.selected .title')?.textContent === t &&
        document.querySelectorAll('.cell .xterm').length === c, title, cols);
}

/// Presses on `from`, moves in steps to the point (fx, fy) of `to`'s box, and releases.
export async function drag(p, from, to, fx, fy) {
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
