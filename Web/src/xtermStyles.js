// xterm.js draws each terminal's colours, font and cursor (its blink included) through a
// <style> element it writes into the terminal. The page's Content-Security-Policy
// (style-src 'self') rightly refuses inline style elements, so those rules would never apply:
// terminals would keep the page's text colour on their own background, ignore their font size
// and show no cursor. Their text is mirrored into constructed style sheets, which the policy
// allows since they are built through the CSS object model, not parsed from the document.

const mirrors = new Map();

function mirror(style) {
    let sheet = mirrors.get(style);
    if (!sheet) {
        sheet = new CSSStyleSheet();
        mirrors.set(style, sheet);
        document.adoptedStyleSheets = [...document.adoptedStyleSheets, sheet];
    }
    sheet.replaceSync(style.textContent);
}

function forget(style) {
    const sheet = mirrors.get(style);
    // A terminal moved to another row is removed and added again: it keeps its sheet.
    if (sheet && !style.isConnected) {
        mirrors.delete(style);
        document.adoptedStyleSheets = document.adoptedStyleSheets.filter((s) => s !== sheet);
    }
}

const styles = (node) => (node.nodeName === 'STYLE' ? [node] : [...(node.querySelectorAll?.('style') ?? [])]);

/// Starts mirroring the style elements inside `root` (terminals added later included).
export function mirrorTerminalStyles(root) {
    new MutationObserver((records) => {
        for (const record of records) {
            if (record.target.nodeName === 'STYLE') {
                mirror(record.target);
            } else if (record.target.parentNode?.nodeName === 'STYLE') {
                mirror(record.target.parentNode);
            }
            for (const node of record.addedNodes) {
                styles(node).forEach(mirror);
            }
            for (const node of record.removedNodes) {
                styles(node).forEach(forget);
            }
        }
    }).observe(root, { childList: true, subtree: true, characterData: true });
    styles(root).forEach(mirror);
}
