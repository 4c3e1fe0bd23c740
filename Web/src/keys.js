// The page's own keys: Ctrl+Shift with an arrow. Terminal programs get every other key; no
// common program binds these, and the shells' and editors' Ctrl, Alt and arrow keys pass.

export function isSwitchKey(event) {
    return event.type === 'keydown' && event.ctrlKey && event.shiftKey && !event.altKey && !event.metaKey &&
        ['ArrowUp', 'ArrowDown', 'ArrowLeft', 'ArrowRight'].includes(event.key);
}
