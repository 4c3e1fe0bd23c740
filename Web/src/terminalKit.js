// xterm.js and its fit add-on, the bulk of the page's code: main.js's sidebar needs neither, so
// they are a chunk of their own, fetched when the first grid is shown (see grid.js).
export { Terminal } from '@xterm/xterm';
export { FitAddon } from '@xterm/addon-fit';
