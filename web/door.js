// The web door's page: a 99 x 35 terminal scaled to the window, connected to
// the game over a WebSocket, with on-screen keys for a phone.
'use strict';

const COLS = 99;
const ROWS = 35;
const PROTOCOL = 'terminal.mudstandards.org';
// What a closed connection offers; each choice opens a socket on its path
// and answers the first menu with its keys, if it has any (W watches).
const CHOICES = [{ label: 'Connect again', path: '/play' }, { label: 'Watch', path: '/play', keys: 'w\r' }];
// The keypad, then the keys of the game's commands.
const PAD = ['7', '8', '9', '4', '5', '6', '1', '2', '3'];
const KEYS = [['Esc', '\x1b'], ['Enter', '\r'], ['g', 'g'], ['e', 'e'], ['f', 'f'], ['c', 'c'], ['r', 'r'],
  ['>', '>'], ['s', 's'], ['a', 'a'], ['F', 'F'], ['S', 'S'], ['L', 'L'], ['/', '/'], ['?', '?'], ['q', 'q']];
// The arrows and the keypad without Num Lock move as the keypad's digits do.
const MOVES = { ArrowUp: '8', ArrowDown: '2', ArrowLeft: '4', ArrowRight: '6', Home: '7', PageUp: '9',
  End: '1', PageDown: '3', Clear: '5' };

const encoder = new TextEncoder();
const term = new Terminal({
  cols: COLS, rows: ROWS, fontSize: 16, scrollback: 0, allowProposedApi: false,
  fontFamily: '"DejaVu Sans Mono", Menlo, Consolas, "Liberation Mono", monospace',
});
let socket = null;

function send(text) {
  if (socket && socket.readyState === WebSocket.OPEN)
    socket.send(encoder.encode(text));
}

// The grid stays 99 x 35 cells; the whole terminal is scaled to the largest
// size that fits, so every cell stays in view whatever the window.
function fit() {
  const box = document.getElementById('screen').getBoundingClientRect();
  const inner = term.element && term.element.querySelector('.xterm-screen');
  if (!inner || !inner.offsetWidth || !inner.offsetHeight)
    return;
  const scale = Math.min(box.width / inner.offsetWidth, box.height / inner.offsetHeight);
  const left = (box.width - inner.offsetWidth * scale) / 2;
  const top = (box.height - inner.offsetHeight * scale) / 2;
  document.getElementById('term').style.transform = `translate(${left}px, ${top}px) scale(${scale})`;
}

function showClosed(text) {
  document.getElementById('closed-text').textContent = text;
  document.getElementById('closed').hidden = false;
}

function connect(path, keys) {
  document.getElementById('closed').hidden = true;
  term.reset();
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const ws = new WebSocket(`${scheme}//${location.host}${path}`, [PROTOCOL]);
  ws.binaryType = 'arraybuffer';
  let opened = false;
  ws.onopen = () => { opened = true; term.focus(); };
  const decoder = new TextDecoder();
  let pending = keys || '';
  ws.onmessage = (e) => {
    const data = typeof e.data === 'string' ? e.data : new Uint8Array(e.data);
    term.write(data);
    if (pending && (typeof data === 'string' ? data : decoder.decode(data, { stream: true })).includes('Select: ')) {
      ws.send(encoder.encode(pending));
      pending = '';
    }
  };
  ws.onclose = (e) => {
    if (socket === ws)
      socket = null;
    showClosed(!opened ? 'The server could not be reached.'
      : e.code === 1009 ? 'Connection closed: too much typed at once.'
      : e.code === 1000 || e.code === 1005 ? 'Connection closed.'
      : 'Connection lost.');
  };
  socket = ws;
}

function button(label, onPress) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = label;
  // The terminal keeps the focus, so a phone's keyboard does not come and go.
  b.addEventListener('pointerdown', (e) => e.preventDefault());
  b.addEventListener('click', onPress);
  return b;
}

function buildKeys() {
  const keys = document.getElementById('keys');
  const pad = document.createElement('div');
  pad.className = 'pad';
  for (const k of PAD)
    pad.appendChild(button(k, () => send(k)));
  keys.appendChild(pad);
  for (const [label, bytes] of KEYS) {
    const b = button(label, () => send(bytes));
    b.dataset.key = label;
    keys.appendChild(b);
  }
  const choices = document.getElementById('choices');
  for (const c of CHOICES)
    choices.appendChild(button(c.label, () => connect(c.path, c.keys)));
}

// For tests and the curious: the terminal's screen as text, one line a row.
function screenText() {
  const buf = term.buffer.active;
  const lines = [];
  for (let y = 0; y < ROWS; ++y) {
    const line = buf.getLine(buf.viewportY + y);
    lines.push(line ? line.translateToString(true) : '');
  }
  return lines.join('\n');
}

term.open(document.getElementById('term'));
term.onData(send);
term.attachCustomKeyEventHandler((e) => {
  if (e.type !== 'keydown' || !MOVES[e.key] || e.ctrlKey || e.altKey || e.metaKey)
    return true;
  send(MOVES[e.key]);
  e.preventDefault();
  return false;
});
buildKeys();
new ResizeObserver(fit).observe(document.getElementById('screen'));
term.onRender(fit);
if (document.fonts)
  document.fonts.ready.then(fit);
document.getElementById('screen').addEventListener('click', () => term.focus());
window.door = { term, connect, send, screenText, COLS, ROWS };
// The page's Watch link opens it as /?watch.
const first = new URLSearchParams(location.search).has('watch') ? CHOICES[1] : CHOICES[0];
connect(first.path, first.keys);
