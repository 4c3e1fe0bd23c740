// The settings page and the appearance in a real browser at 1280x720: the theme and the font
// size apply and hold after a reload, other pages follow live, a value out of range is shown
// repaired, reduce motion stops every animation, chips and marks keep their contrast in both
// themes, and nothing scrolls sideways. Also takes the README's screenshots.
//
//   node Web/tests/settings.test.mjs ORVEX_BINARY SCREENSHOT_FOLDER
import { join } from 'node:path';
import { newSession, openPage, openRepository, runWorkbench, screenHas, wait } from './harness.mjs';

const setting = (key) => `#setting-${key}`;

/// Types `text` into a setting's field as a person would and leaves the field (which sends it).
async function typeSetting(p, key, text) {
    // Focused and selected in the page, not clicked: a setting applied a moment ago (a font
    // size) may still move the field, and a click aimed at where it was would miss it.
    await p.$eval(setting(key), (field) => {
        field.focus();
        field.select();
    });
    await p.keyboard.press('Backspace');
    await p.keyboard.type(text);
    await p.keyboard.press('Tab');
}

async function openSettings(p) {
    if (await p.$eval('#settings-view', (view) => !view.hidden)) {
        return;
    }
    await p.focus('#open-settings');
    await p.keyboard.press('Enter');
    await wait(p, () => !document.querySelector('#settings-view').hidden &&
        document.querySelectorAll('#settings-view .setting').length > 0);
}

async function closeSettings(p) {
    await p.keyboard.press('Escape');
    await wait(p, () => document.querySelector('#settings-view').hidden &&
        document.querySelector('#grid').getBoundingClientRect().width > 0);
}

/// Contrast ratios of what the page shows, by the relative luminance rule of WCAG 2.
function measureContrast() {
    const rgb = (text) => {
        const probe = document.createElement('span');
        probe.style.color = text;
        document.body.append(probe);
        const parts = getComputedStyle(probe).color.match(/[\d.]+/g).slice(0, 3).map(Number);
        probe.remove();
        return parts;
    };
    const luminance = (colour) => rgb(colour).map((c) => c / 255)
        .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4))
        .reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
    const ratio = (a, b) => {
        const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
        return (hi + 0.05) / (lo + 0.05);
    };
    const root = getComputedStyle(document.documentElement);
    const v = (name) => root.getPropertyValue(name).trim();
    const style = (selector) => getComputedStyle(document.querySelector(selector));
    const low = [];
    const need = (what, a, b, least) => {
        const r = ratio(a, b);
        if (r < least) {
            low.push(`${what}: ${r.toFixed(2)} < ${least}`);
        }
    };
    need('text', v('--fg'), v('--bg'), 4.5);
    need('sidebar text', style('#sidebar').color, style('#sidebar').backgroundColor, 4.5);
    need('selected session', style('.session.selected .title').color, v('--selected'), 4.5);
    for (const background of ['--panel', '--selected', '--bg']) {
        need(`muted on ${background}`, v('--muted'), v(background), 4.5);
    }
    need('notice', v('--notice'), v('--panel'), 4.5);
    for (const chip of document.querySelectorAll('.chip')) {
        need(`chip ${chip.textContent}`, getComputedStyle(chip).color, getComputedStyle(chip).backgroundColor, 4.5);
    }
    for (const mark of ['--mark-running', '--mark-idle', '--mark-needs-input', '--mark-bell', '--mark-ring']) {
        for (const background of ['--panel', '--selected']) {
            need(`${mark} on ${background}`, v(mark), v(background), 3);
        }
    }
    return low;
}

const runningAnimations = (p) => p.evaluate(() =>
    document.getAnimations().filter((a) => a.playState === 'running').map((a) => a.animationName ?? a.constructor.name));

await runWorkbench('settings', process.argv.slice(2), async (workbench) => {
    const { browser, page, check, run, shots } = workbench;
    await page.setViewport({ width: 1280, height: 720 });
    let other = null;

    await check('the page opens with a session of two terminals', async () => {
        await openPage(workbench);
        await openRepository(page, workbench.repo);
        await newSession(page, 'first', 2);
    });

    await check('the settings page opens from the keyboard with every setting explained', async () => {
        await openSettings(page);
        const rows = await page.$$eval('#settings-view .setting', (all) => all.map((row) => ({
            key: row.dataset.key,
            explained: row.querySelector('.setting-explanation').textContent.length > 10,
            labelled: row.querySelector('label').control !== null || row.querySelector('output') !== null,
        })));
        for (const key of ['theme', 'uiFontSize', 'codeFontSize', 'reduceMotion', 'sessionsRootPath', 'newBranchRows']) {
            if (!rows.some((r) => r.key === key)) {
                throw new Error(`no field for ${key}`);
            }
        }
        const bad = rows.filter((r) => !r.explained || !r.labelled).map((r) => r.key);
        if (bad.length > 0) {
            throw new Error(`unexplained or unlabelled: ${bad}`);
        }
        // The first field has the keyboard.
        if (!(await page.evaluate(() => document.activeElement.closest('#settings-view .setting') !== null))) {
            throw new Error('the keyboard did not move into the settings');
        }
    });

    await check('theme and font sizes apply at once and on another page', async () => {
        other = await browser.newPage();
        await other.setViewport({ width: 1280, height: 720 });
        await other.goto(new URL('/', workbench.address).href);
        await wait(other, () => document.body.dataset.connected === 'true');
        await page.bringToFront();
        await page.select(setting('theme'), 'light');
        await page.select(setting('terminalTheme'), 'light');
        await typeSetting(page, 'uiFontSize', '16');
        await typeSetting(page, 'codeFontSize', '15');
        const applied = () => document.documentElement.dataset.theme === 'light' &&
            getComputedStyle(document.body).backgroundColor === 'rgb(255, 255, 255)' &&
            getComputedStyle(document.body).fontSize === '16px' &&
            // The smaller sizes follow the font tokens: 16 - 3 for small text, 16 - 1 for icons.
            getComputedStyle(document.querySelector('.keys')).fontSize === '13px' &&
            getComputedStyle(document.querySelector('.session .rename')).fontSize === '15px' &&
            [...document.querySelectorAll('.cell .xterm-rows')].every((rows) =>
                getComputedStyle(rows).fontSize === '15px');
        await wait(page, applied);
        await wait(other, applied);
    });

    await check('after a reload the theme and the font sizes come back from the server', async () => {
        // No help from the page's own cache: what shows comes from the settings file.
        await page.evaluate(() => localStorage.clear());
        await page.reload();
        await wait(page, () => document.body.dataset.connected === 'true' &&
            document.documentElement.dataset.theme === 'light' &&
            getComputedStyle(document.body).fontSize === '16px' &&
            document.querySelectorAll('.cell .xterm-rows').length === 2 &&
            [...document.querySelectorAll('.cell .xterm-rows')].every((rows) =>
                getComputedStyle(rows).fontSize === '15px'));
        await openSettings(page);
        await wait(page, (s) => document.querySelector(s).value === 'light', setting('theme'));
    });

    await check('a value out of range is shown repaired beside its field', async () => {
        await typeSetting(page, 'uiFontSize', '40');
        await wait(page, () => {
            const row = document.querySelector('.setting[data-key="uiFontSize"]');
            return row.querySelector('.setting-repair').textContent === '40 is outside 10 to 24: set to 24' &&
                row.querySelector('input').value === '24' &&
                getComputedStyle(document.body).fontSize === '24px';
        });
        await typeSetting(page, 'sessionsRootPath', '/tmp/elsewhere');
        await wait(page, () => {
            const row = document.querySelector('.setting[data-key="sessionsRootPath"]');
            return row.querySelector('.setting-repair').textContent.includes('not a folder inside the home folder') &&
                row.querySelector('input').value.endsWith('/.orvex-sessions');
        });
        await typeSetting(page, 'newBranchRows', '9');
        await wait(page, () => document.querySelector('.setting[data-key="newBranchRows"] input').value === '6' &&
            document.querySelector('.setting[data-key="newBranchRows"] .setting-repair').textContent.includes('set to 6'));
        const stored = JSON.parse(run('settings', '--json'));
        if (stored.uiFontSize !== 24 || stored.newBranchRows !== 6) {
            throw new Error(`stored: ${JSON.stringify(stored)}`);
        }
        await page.click('.setting[data-key="uiFontSize"] .setting-reset');
        await wait(page, () => getComputedStyle(document.body).fontSize === '12px' &&
            document.querySelector('.setting[data-key="uiFontSize"] input').value === '12');
    });

    await check('reduce motion leaves no running animation', async () => {
        await page.select(setting('reduceMotion'), 'off');
        await closeSettings(page);
        await page.click('.cell .term');
        // The blinking cursor is an animation: without reduce motion one runs.
        await wait(page, () => document.getAnimations().some((a) => a.playState === 'running'));
        await openSettings(page);
        await page.select(setting('reduceMotion'), 'on');
        await wait(page, () => document.documentElement.dataset.motion === 'reduce');
        await closeSettings(page);
        await page.click('.cell .term');
        await page.keyboard.type('echo still\n');
        const running = await runningAnimations(page);
        if (running.length > 0) {
            throw new Error(`running animations: ${running}`);
        }
    });

    await check('system follows the colour scheme and motion preference of the browser, live', async () => {
        run('settings', 'theme', 'system');
        run('settings', 'reduceMotion', 'system');
        for (const [scheme, motion] of [['dark', 'reduce'], ['light', 'no-preference']]) {
            await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme },
                { name: 'prefers-reduced-motion', value: motion }]);
            await wait(page, (t, m) => document.documentElement.dataset.theme === t &&
                document.documentElement.dataset.motion === (m === 'reduce' ? 'reduce' : 'full'), scheme, motion);
        }
        await page.emulateMediaFeatures([]);
    });

    await check('chips and status marks keep their contrast in both themes', async () => {
        run('color', 'repo', '#F5C518');
        await wait(page, () => document.querySelector('.chip').classList.contains('dark-text'));
        for (const theme of ['light', 'dark']) {
            run('settings', 'theme', theme);
            await wait(page, (t) => document.documentElement.dataset.theme === t, theme);
            for (const colour of ['#F5C518', '#3366CC']) {
                run('color', 'repo', colour);
                await wait(page, (c) => getComputedStyle(document.querySelector('.chip')).backgroundColor ===
                    `rgb(${parseInt(c.slice(1, 3), 16)}, ${parseInt(c.slice(3, 5), 16)}, ${parseInt(c.slice(5, 7), 16)})`, colour);
                const low = await page.evaluate(measureContrast);
                if (low.length > 0) {
                    throw new Error(`${theme}, chip ${colour}: ${low.join('; ')}`);
                }
            }
        }
    });

    await check('nothing scrolls sideways at 1280x720, on the grid or the settings', async () => {
        const overflow = () => {
            const wide = [document.documentElement, document.body, document.querySelector('#settings-view')]
                .filter((e) => e && e.clientWidth > 0 && e.scrollWidth > e.clientWidth + 1);
            return wide.map((e) => `${e.id || e.tagName}: ${e.scrollWidth} > ${e.clientWidth}`);
        };
        // Something to see in the README's pictures.
        run('settings', 'terminalTheme', 'system');
        await page.click('.cell:nth-child(2) .term');
        await page.keyboard.type('git log --oneline --decorate; ls -a\n');
        await screenHas(page, '.  ..  .git  README');
        for (const theme of ['light', 'dark']) {
            run('settings', 'theme', theme);
            run('settings', 'terminalTheme', theme);
            await wait(page, (t) => document.documentElement.dataset.theme === t, theme);
            const onGrid = await page.evaluate(overflow);
            await page.screenshot({ path: join(shots, `readme-workbench-${theme}.png`) });
            await openSettings(page);
            const onSettings = await page.evaluate(overflow);
            await page.screenshot({ path: join(shots, `readme-settings-${theme}.png`) });
            await closeSettings(page);
            if (onGrid.length + onSettings.length > 0) {
                throw new Error(`${theme}: ${[...onGrid, ...onSettings].join('; ')}`);
            }
        }
    });

    await other?.close();
});
