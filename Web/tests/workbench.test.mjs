// The workbench page in a real browser: the sidebar and the terminal grid against a real
// server with real shells (see harness.mjs).
//
//   node Web/tests/workbench.test.mjs ORVEX_BINARY SCREENSHOT_FOLDER
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { drag, newSession, openPage, runWorkbench, screenHas, sessionTitles, wait } from './harness.mjs';

await runWorkbench('workbench', process.argv.slice(2), async (workbench) => {
    const { browser, page, check } = workbench;

    await check('the token opens the page', async () => {
        await openPage(workbench);
        if (new URL(page.url()).search !== '') {
            throw new Error(`the token stays in the address bar: ${page.url()}`);
        }
    });

    await check('a repository opens into the sidebar', async () => {
        await page.type('#repo-path', workbench.repo);
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

    await check('a second page sees what the first did, live', async () => {
        const other = await browser.newPage();
        await other.goto(new URL('/', workbench.address).href);
        await wait(other, () => document.body.dataset.connected === 'true' &&
            [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'second,first');
        await page.bringToFront();
        await drag(page, '.session[data-index="1"] .title', '.session[data-index="0"]', 0.5, 0.15);
        await wait(other, () => [...document.querySelectorAll('.session .title')].map((e) => e.textContent).join() === 'first,second');
        await other.bringToFront();
        await other.screenshot({ path: join(workbench.shots, 'second-page.png') });
        await other.close();
    });
});
