// The review panel in a real browser, at 1280x720: a session's changes listed with their
// marks, a patch with its folds and changed words, and the compare ref picker, against a
// real server, real git and a real shell (see harness.mjs).
//
//   node Web/tests/review.test.mjs ORVEX_BINARY SCREENSHOT_FOLDER
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { newSession, openPage, openRepository, runWorkbench, wait } from './harness.mjs';

const fileRow = (path) => `.review-file[data-path="${path}"]`;

await runWorkbench('review', process.argv.slice(2), async (workbench) => {
    const { page, check, git, repo } = workbench;
    await page.setViewport({ width: 1280, height: 720 });
    // "other" is the repository before notes.txt existed: against it, the file is new.
    git('branch', 'other');
    writeFileSync(join(repo, 'notes.txt'), Array.from({ length: 30 }, (_, i) => `line ${i + 1}\n`).join(''));
    git('add', 'notes.txt');
    git('commit', '-q', '-m', 'notes');

    const typeInTerminal = async (text) => {
        await page.click('.cell .term');
        await page.keyboard.type(text);
    };

    await check('the panel lists a changed file and a new untracked one', async () => {
        await openPage(workbench);
        await openRepository(page, repo);
        await newSession(page, 'rev', 1);
        await wait(page, () => document.querySelector('.review-empty') !== null);
        await typeInTerminal("sed -i -e 's/^line 10$/line ten/' -e 's/^line 16$/line sixteen/' notes.txt; printf 'new\\n' > fresh.txt\n");
        await wait(page, (a, m) => document.querySelector(a)?.dataset.status === 'A' && document.querySelector(m)?.dataset.status === 'M',
            fileRow('fresh.txt'), fileRow('notes.txt'));
    });

    await check('the patch shows a changed word highlighted and a fold that opens', async () => {
        await page.click(`${fileRow('notes.txt')} .file-path`);
        await wait(page, () => [...document.querySelectorAll('.patch-row.removed .changed-word')].some((w) => w.textContent === '10'));
        await wait(page, () => document.querySelector('.patch-row.fold') !== null);
        await page.click('.patch-row.fold');
        await wait(page, () => document.querySelector('.patch-row.fold') === null &&
            [...document.querySelectorAll('.patch-row.same .line-text')].some((t) => t.textContent === 'line 13'));
    });

    await check('a file marked reviewed shows its mark and the count', async () => {
        await page.click(`${fileRow('notes.txt')} .reviewed-box`);
        await wait(page, (row) => document.querySelector(row)?.classList.contains('reviewed') &&
            document.querySelector('.review-summary').textContent.includes('1 of 2 reviewed'), fileRow('notes.txt'));
    });

    await check('changing the file in the terminal lapses the mark', async () => {
        await typeInTerminal('echo more >> notes.txt\n');
        await wait(page, (row) => document.querySelector(row) && !document.querySelector(row).classList.contains('reviewed') &&
            !document.querySelector(`${row} .reviewed-box`).checked &&
            document.querySelector('.review-summary').textContent.includes('0 of 2 reviewed'), fileRow('notes.txt'));
    });

    await check('picking a compare ref changes the list', async () => {
        await page.focus('.base-picker');
        await wait(page, () => document.querySelector('.base-picker option[value="other"]') !== null);
        await page.select('.base-picker', 'other');
        await wait(page, (row) => document.querySelector(row)?.dataset.status === 'A' &&
            document.querySelector('.base-used').textContent.includes('compare ref other'), fileRow('notes.txt'));
        await page.select('.base-picker', '');
        await wait(page, (row) => document.querySelector(row)?.dataset.status === 'M' &&
            document.querySelector('.base-used').textContent.includes('base commit'), fileRow('notes.txt'));
    });

    await check('a long patch loads further rows as it scrolls, and a long list draws only the rows in sight', async () => {
        await typeInTerminal("seq 1 3000 | sed 's/^/row /' > long.txt; mkdir many; for i in $(seq 100 699); do echo $i > many/f$i.txt; done\n");
        await wait(page, () => document.querySelector('.review-summary').textContent.startsWith('603 files'));
        const rowShown = (text) => [...document.querySelectorAll('.patch-row.added .line-text')].some((t) => t.textContent === text);
        await page.click(`${fileRow('long.txt')} .file-path`);
        await wait(page, `document.querySelector('.patch-title').textContent === 'long.txt' && (${rowShown})('row 1')`);
        // The last rows are not in the page until the view scrolls to them.
        await wait(page, `!(${rowShown})('row 3000') && document.querySelectorAll('.patch-row').length < 300`);
        await page.$eval('.patch-view', (view) => { view.scrollTop = view.scrollHeight; });
        await wait(page, `(${rowShown})('row 3000') && document.querySelectorAll('.patch-row').length < 300`);
        await wait(page, () => document.querySelectorAll('.review-file').length < 100);
        await page.$eval('.review-files', (list) => { list.scrollTop = list.scrollHeight; });
        await wait(page, (row) => document.querySelector(row) !== null, fileRow('notes.txt'));
    });
});
