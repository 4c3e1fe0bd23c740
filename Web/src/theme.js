// The page's appearance from the settings: the theme, the font tokens and reduce motion, set
// on <html> (data-theme, data-motion, data-smoothing and the size and family custom
// properties that style.css reads) and on every terminal. "system" follows the browser's
// prefers-color-scheme and prefers-reduced-motion, also when they change later.
//
// The last appearance is kept in localStorage so a reload draws in the right colours before
// the server has answered; the server's answer always wins.


const cacheKey = 'orvex.appearance';
const darkQuery = matchMedia('(prefers-color-scheme: dark)');
const motionQuery = matchMedia('(prefers-reduced-motion: reduce)');

const defaultTokens = {
    uiSize: 12, codeSize: 13, secondarySize: 10, smallSize: 9, iconSize: 11,
    uiFontFamily: '', codeFontFamily: '', fontSmoothingEnabled: true,
};
const defaultFamilies = {
    ui: 'system-ui, sans-serif',
    code: "ui-monospace, 'DejaVu Sans Mono', monospace",
};

// Terminal colours per theme; the light one darkens the ANSI colours that vanish on white.
const terminalThemes = {
    dark: {
        background: '#141517', foreground: '#e6e6e6', cursor: '#e6e6e6', cursorAccent: '#141517',
        selectionBackground: '#3a4d75',
    },
    light: {
        background: '#ffffff', foreground: '#1f2328', cursor: '#1f2328', cursorAccent: '#ffffff',
        selectionBackground: '#b6d0f7',
        black: '#24292f', red: '#cf222e', green: '#116329', yellow: '#7d4e00', blue: '#0a5fd0',
        magenta: '#8250df', cyan: '#1b7c83', white: '#57606a',
        brightBlack: '#57606a', brightRed: '#a40e26', brightGreen: '#1a7f37', brightYellow: '#633c01',
        brightBlue: '#0550ae', brightMagenta: '#6639ba', brightCyan: '#0f6a72', brightWhite: '#24292f',
    },
};

let current = { theme: 'system', terminalTheme: 'system', reduceMotion: 'system', tokens: defaultTokens };
const listeners = new Set();

function loadCached() {
    try {
        const cached = JSON.parse(localStorage.getItem(cacheKey));
        return cached && typeof cached === 'object' ? { ...current, ...cached } : null;
    } catch {
        return null;
    }
}

/// "light" or "dark" for a theme setting.
export function resolvedTheme(setting) {
    if (setting === 'light' || setting === 'dark') {
        return setting;
    }
    return darkQuery.matches ? 'dark' : 'light';
}

/// Whether motion is reduced for a reduce motion setting.
export function motionReduced(setting) {
    return setting === 'on' || (setting === 'system' && motionQuery.matches);
}

/// A CSS font-family list: the chosen family first (quoted), then the fallback.
function family(name, fallback) {
    if (!name) {
        return fallback;
    }
    return `"${name.replace(/["\\]/g, '\\$&')}", ${fallback}`;
}

/// The options every terminal takes from the appearance: colours, font and cursor blink.
export function terminalOptions() {
    return {
        theme: terminalThemes[resolvedTheme(current.terminalTheme)],
        fontSize: current.tokens.codeSize,
        fontFamily: family(current.tokens.codeFontFamily, defaultFamilies.code),
        cursorBlink: !motionReduced(current.reduceMotion),
    };
}

function paint() {
    const root = document.documentElement;
    const tokens = current.tokens;
    root.dataset.theme = resolvedTheme(current.theme);
    root.dataset.motion = motionReduced(current.reduceMotion) ? 'reduce' : 'full';
    root.dataset.smoothing = tokens.fontSmoothingEnabled ? 'on' : 'off';
    for (const [name, value] of [['--ui-size', tokens.uiSize], ['--secondary-size', tokens.secondarySize],
        ['--small-size', tokens.smallSize], ['--icon-size', tokens.iconSize], ['--code-size', tokens.codeSize]]) {
        root.style.setProperty(name, `${value}px`);
    }
    root.style.setProperty('--ui-family', family(tokens.uiFontFamily, defaultFamilies.ui));
    root.style.setProperty('--code-family', family(tokens.codeFontFamily, defaultFamilies.code));
    for (const listener of listeners) {
        listener(current);
    }
}

/// Takes the settings' values (by key) and font tokens from `settings.describe`.
export function applyAppearance(values, tokens) {
    current = {
        theme: values.theme ?? 'system',
        terminalTheme: values.terminalTheme ?? 'system',
        reduceMotion: values.reduceMotion ?? 'system',
        tokens: { ...defaultTokens, ...tokens },
    };
    try {
        localStorage.setItem(cacheKey, JSON.stringify(current));
    } catch {
        // Storage may be off; the page then waits for the server's answer.
    }
    paint();
}

/// Calls `listener(appearance)` after every change of the appearance.
export function onAppearance(listener) {
    listeners.add(listener);
}

/// Gives each terminal view ({ term, fitSoon }) the current options and refits it, since a new
/// font size changes how many rows and columns fit its cell.
export function restyleTerminals(views) {
    const options = terminalOptions();
    for (const view of views) {
        const resized = view.term.options.fontSize !== options.fontSize ||
            view.term.options.fontFamily !== options.fontFamily;
        // Only what changed: setting an option redraws the terminal, and other settings (a
        // panel being dragged wider) change far more often than these.
        for (const [name, value] of Object.entries(options)) {
            if (view.term.options[name] !== value) {
                view.term.options[name] = value;
            }
        }
        if (resized) {
            view.fitSoon?.();
        }
    }
}

current = loadCached() ?? current;
paint();
darkQuery.addEventListener('change', paint);
motionQuery.addEventListener('change', paint);
