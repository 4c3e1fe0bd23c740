// The workbench page in a real browser: the sidebar and the terminal grid against a real
// server with real shells (see harness.mjs).
//
//   node Web/tests/workbench.test.mjs ORVEX_BINARY SCREENSHOT_FOLDER
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { drag, newSession, openPage, runWorkbench, screenHas, sessionTitles, wait } from './harness.mjs';

/// Collects what the page's Content-Security-Policy refused: the page's own reports and the
/// browser's console messages about them.
async function watchPolicy(p, refused) {
    await p.evaluateOnNewDocument(() => {
        document.addEventListener('securitypolicyviolation', (event) => {
            console.error(`refused by Content Security Policy: ${event.effectiveDirective} ${event.blockedURI} ${event.sample}`);
        });
    });
    p.on('console', (message) => {
        if (message.type() === 'error' && /Content.Security.Policy/i.test(message.text())) {
            refused.push(message.text());
        }
    });
}

/// The non-empty rows of the page's terminals, spaces made plain.
const screenRows = (p) => p.$$eval('.cell .xterm-rows > div', (rows) =>
    rows.map((row) => row.textContent.replace(/\u00a0/g, ' ').trimEnd()).filter((text) => text.trim() !== ''));

await runWorkbench('workbench', process.argv.slice(2), async (workbench) => {
    const { browser, page, check } = workbench;
    const refused = [];
    await watchPolicy(page, refused);
    workbench.git('branch', 'topic');
    let firstScreen = null;

    // The page's own scripts, by name: xterm.js's chunk is fetched only once a grid is shown.
    const scripts = [];
    page.on('request', (request) => {
        if (request.resourceType() === 'script') {
            scripts.push(new URL(request.url()).pathname);
        }
    });

    await check('the token opens the page', async () => {
        await openPage(workbench);
        if (new URL(page.url()).search !== '') {
            throw new Error(`the token stays in the address bar: ${page.url()}`);
        }
    });

    await check('a repository opens into the sidebar without the terminals\' code', async () => {
        await page.type('#repo-path', workbench.repo);
        await page.click('#open-repo button[name=open]');
        await wait(page, () => document.querySelector('.workspace .chip')?.textContent === 'repo');
        if (scripts.join() !== '/app.js') {
            throw new Error(`scripts fetched before any grid was shown: ${scripts}`);
        }
    });

    await check('the new-session form offers the repository\'s branches', async () => {
        await page.click('.workspace .new-session');
        await wait(page, () => [...document.querySelectorAll('#branch-options option')].map((o) => o.value).join() === 'main,topic');
        await page.click('#new-session-form button[value=cancel]');
        await wait(page, () => !document.querySelector('#new-session').open);
    });

    await check('a new session runs a shell that echoes', async () => {
        await newSession(page, 'first', 1);
        await page.click('.cell .term');
        await page.keyboard.type('echo hello\n');
        await screenHas(page, 'hello');
    });

    await check('the terminal has its cursor and its colours', async () => {
        await page.keyboard.type("printf '\\033[31mred\\033[0m \\033[38;2;0;128;255mblue\\033[0m\\n'\n");
        await screenHas(page, 'red blue');
        const colour = (text) => page.$$eval('.cell .xterm-rows span', (spans, t) =>
            getComputedStyle(spans.find((span) => span.textContent === t)).color, text);
        // A red from xterm.js's palette, and a 24-bit colour given in the output.
        const red = (await colour('red')).match(/\d+/g).map(Number);
        if (!(red[0] > 150 && red[1] < 80 && red[2] < 80) || await colour('blue') !== 'rgb(0, 128, 255)') {
            throw new Error(`colours: red is ${await colour('red')}, blue is ${await colour('blue')}`);
        }
        // The focused terminal's blinking block cursor takes the theme's cursor colour (its
        // text colour) at each blink; without xterm.js's styles it has none.
        await wait(page, () => {
            const rows = document.querySelector('.cell .xterm-rows.xterm-focus');
            const cursor = rows?.querySelector('.xterm-cursor');
            const colour = cursor && getComputedStyle(cursor).backgroundColor;
            return colour && colour !== 'rgba(0, 0, 0, 0)' && colour === getComputedStyle(rows).color;
        });
    });

    await check('a question turns the mark to needs input and an answer turns it back', async () => {
        await page.keyboard.type("read -p 'Continue? ' x\n");
        await wait(page, () => document.querySelector('.session.selected .mark')?.dataset.status === 'needsInput');
        // Hovering the mark or the terminal's title tells why: the shell asks the question.
        await wait(page, () => document.querySelector('.session.selected .mark').title.includes('Continue?') &&
            [...document.querySelectorAll('.cell .title')].some((t) => t.title.includes('Continue?')));
        await page.keyboard.type('y\n');
        await wait(page, () => ['idle', 'running'].includes(document.querySelector('.session.selected .mark')?.dataset.status));
        await wait(page, () => [...document.querySelectorAll('.cell .xterm-rows > div')].map((row) => row.textContent.trim())
            .filter((text) => text !== '').at(-1) === '$');
        firstScreen = await screenRows(page);
    });

    await check('a session dragged above another stays there', async () => {
        await newSession(page, 'second', 2);
        await drag(page, '.session[data-index="1"] .title', '.session[data-index="0"]', 0.5, 0.15);
        await wait(page, () => [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'second,first');
        // The sidebar rebuilt by a state change (here: selecting the other session and back)
        // is hit-tested at once, so a drop or a click landing right after one is not lost.
        const missed = await page.evaluate(async () => {
            window.cellsBeforeSwitching = [...document.querySelectorAll('.cell')];
            const sidebar = document.getElementById('workspaces');
            const hits = [];
            const observer = new MutationObserver(() => {
                const box = sidebar.querySelector('.session .title').getBoundingClientRect();
                hits.push(document.elementFromPoint(box.x + box.width / 2, box.y + box.height / 2)?.closest('.session') != null);
            });
            observer.observe(sidebar, { childList: true, subtree: true });
            const selected = () => document.querySelector('.session.selected .title')?.textContent;
            for (const title of ['first', 'second']) {
                [...sidebar.querySelectorAll('.session .title')].find((e) => e.textContent === title).click();
                do {
                    await new Promise((resolve) => requestAnimationFrame(resolve));
                } while (selected() !== title);
            }
            observer.disconnect();
            return hits.length === 0 ? 'no rebuild seen' : hits.filter((hit) => !hit).length;
        });
        if (missed !== 0) {
            throw new Error(`right after a rebuild, the sidebar's point hit no session: ${missed}`);
        }
        await wait(page, () => document.querySelectorAll('.cell .xterm').length === 2);
    });

    await check('a terminal dropped on the bottom edge of another gets a row of its own', async () => {
        const ids = await page.$$eval('.cell', (cells) => cells.map((c) => c.dataset.terminalId));
        await drag(page, `.cell[data-terminal-id="${ids[0]}"] .cell-head .title`, `.cell[data-terminal-id="${ids[1]}"]`, 0.5, 0.92);
        await wait(page, (first, second) => {
            const rows = [...document.querySelectorAll('.grid-row')].map((r) => [...r.querySelectorAll('.cell')].map((c) => c.dataset.terminalId).join());
            return rows.join('|') === `${second}|${first}`;
        }, ids[0], ids[1]);
        // The late answer to choosing "first" (before "second" again) did not clear the grid
        // of the session chosen since: its cells are the ones from before the switching.
        if (!await page.evaluate(() => [...document.querySelectorAll('.cell')].every((cell) => window.cellsBeforeSwitching.includes(cell)))) {
            throw new Error('choosing a session and another at once rebuilt the grid of the second');
        }
    });

    await check('after a reload the order and the layout hold, also in store.json', async () => {
        await page.reload();
        await wait(page, () => document.body.dataset.connected === 'true' && document.querySelectorAll('.grid-row').length === 2);
        const titles = await sessionTitles(page);
        if (titles.join() !== 'second,first') {
            throw new Error(`sidebar order after reload: ${titles}`);
        }
        const store = JSON.parse(readFileSync(join(workbench.env.XDG_DATA_HOME, 'Orvex', 'store.json'), 'utf8'));
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

    await check('after a reload a terminal shows the screen it showed before', async () => {
        await page.$$eval('.session .title', (titles) => titles.find((t) => t.textContent === 'first').click());
        await screenHas(page, 'hello');
        await wait(page, (rows) => JSON.stringify([...document.querySelectorAll('.cell .xterm-rows > div')]
            .map((row) => row.textContent.replace(/\u00a0/g, ' ').trimEnd()).filter((text) => text.trim() !== '')) === rows,
            JSON.stringify(firstScreen)).catch(async () => {
            throw new Error(`before: ${JSON.stringify(firstScreen)}\nafter: ${JSON.stringify(await screenRows(page))}`);
        });
    });

    let other = null;
    await check('a second page sees what the first did, live', async () => {
        other = await browser.newPage();
        await watchPolicy(other, refused);
        await other.goto(new URL('/', workbench.address).href);
        await wait(other, () => document.body.dataset.connected === 'true' &&
            [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'second,first');
        await page.bringToFront();
        await drag(page, '.session[data-index="1"] .title', '.session[data-index="0"]', 0.5, 0.15);
        await wait(other, () => [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'first,second');
        await other.bringToFront();
        await other.screenshot({ path: join(workbench.shots, 'second-page.png') });
    });

    await check('a terminal added on one page joins the grid on both and its place is saved', async () => {
        await page.bringToFront();
        const cells = (p) => p.$$eval('.cell', (all) => all.length);
        const before = await cells(page);
        await wait(other, (n) => document.querySelectorAll('.cell .xterm').length === n, before);
        await page.click('#add-terminal');
        await wait(page, (n) => document.querySelectorAll('.cell .xterm').length === n + 1 &&
            document.querySelector('.grid-row:last-child .cell.focused') !== null, before);
        await page.keyboard.type('echo added\n');
        await screenHas(page, 'added');
        await wait(other, (n) => document.querySelectorAll('.grid-row:last-child .cell .xterm').length === 1 &&
            document.querySelectorAll('.cell .xterm').length === n + 1, before);
        // A page in the background draws nothing.
        await other.bringToFront();
        await screenHas(other, 'added');
        const store = JSON.parse(readFileSync(join(workbench.env.XDG_DATA_HOME, 'Orvex', 'store.json'), 'utf8'));
        const first = (store.sessions ?? store).find((s) => s.title === 'first');
        if (first.gridLayout?.join() !== '1,1') {
            throw new Error(`store.json grid layout of "first": ${JSON.stringify(first.gridLayout)}`);
        }
        await other.close();
    });

    await check('the page\'s policy refused nothing', async () => {
        if (refused.length > 0) {
            throw new Error(`refused:\n${refused.join('\n')}`);
        }
    });
});
