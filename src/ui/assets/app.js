'use strict';
// The settings panel: renders what the service's API describes and polls it
// for live changes. No markup is built from strings: every text goes in as text.

const state = {
  csrf: '', pages: [], page: '', lastLog: 0, log: [], status: null, statusKey: '',
  // The account whose pages are shown ('' until the service names one) and the switcher's key.
  account: '', accountsKey: '', ready: null,
};

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (value === true) node.setAttribute(key, '');
    else if (value !== false && value !== undefined && value !== null) node.setAttribute(key, value);
  }
  for (const child of children.flat()) if (child) node.append(child);
  return node;
}

async function api(method, path, body) {
  const headers = {};
  if (state.account) headers['X-BW-Account'] = state.account;
  if (method !== 'GET') {
    headers['Content-Type'] = 'application/json';
    headers['X-CSRF-Token'] = state.csrf;
  }
  const res = await fetch(path, {
    method, headers, credentials: 'same-origin',
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  let data = {};
  try { data = await res.json(); } catch (e) { data = {}; }
  if (res.status === 401 && path !== '/api/login') showLogin();
  return { ok: res.ok, status: res.status, data };
}

// The information boxes and questions of the window, as dialogs in the page.
function ask(text, question) {
  const dialog = document.getElementById('dialog');
  document.getElementById('dialog-text').textContent = text;
  document.getElementById('dialog-no').hidden = !question;
  document.getElementById('dialog-ok').textContent = question ? '是' : '确定';
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), { once: true });
    dialog.showModal();
  });
}

// The login asks for the owner's password once one is set, else for the token.
let loginKey = 'token';
async function showLogin() {
  document.getElementById('app').hidden = true;
  document.getElementById('login').hidden = false;
  document.getElementById('login-token').focus();
  const mode = await api('GET', '/api/login');
  if (mode.ok && mode.data.password) {
    loginKey = 'password';
    document.getElementById('login-caption').textContent = '密码';
    document.getElementById('login-help').textContent =
      '请输入面板密码 (由 brindle-warden panel-password 设置)。';
  }
}

async function start() {
  const session = await api('GET', '/api/session');
  if (!session.ok) { showLogin(); return; }
  state.csrf = session.data.csrf;
  state.pages = session.data.pages;
  document.getElementById('login').hidden = true;
  document.getElementById('app').hidden = false;
  const list = document.getElementById('pages');
  list.replaceChildren(...state.pages.map((name) =>
    el('li', {}, el('a', { href: '#' + encodeURIComponent(name), text: name }))));
  window.addEventListener('hashchange', route);
  await poll();
  route();
  setInterval(poll, 500);
}

// On a narrow screen the navigation is a drawer: the menu button opens it, and
// choosing a page, the dimmed rest of the page or Escape closes it.
function setMenu(open) {
  const app = document.getElementById('app');
  const button = document.getElementById('menu-button');
  if (app.classList.contains('nav-open') === open) return;
  app.classList.toggle('nav-open', open);
  button.setAttribute('aria-expanded', String(open));
  // Behind the open drawer the page is out of reach of Tab and screen readers.
  for (const id of ['page', 'status-strip']) document.getElementById(id).inert = open;
  if (open) (document.querySelector('#pages a[aria-current]') || document.querySelector('#pages a'))?.focus();
  else if (document.activeElement?.closest('#nav')) button.focus();
}
document.getElementById('menu-button').addEventListener('click', () =>
  setMenu(!document.getElementById('app').classList.contains('nav-open')));
document.getElementById('app').addEventListener('click', (e) => { if (e.target.id === 'app') setMenu(false); });
document.getElementById('pages').addEventListener('click', (e) => { if (e.target.closest('a')) setMenu(false); });
document.addEventListener('keydown', (e) => { if (e.key === 'Escape') setMenu(false); });

// A login link (/login?token=…) that was refused lands here with its reason
// shown; the token leaves the address bar, so a reload does not try it again.
if (location.pathname === '/login') history.replaceState(null, '', '/');

document.getElementById('login-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const secret = document.getElementById('login-token').value;
  const res = await api('POST', '/api/login', { [loginKey]: loginKey === 'token' ? secret.trim() : secret });
  if (!res.ok) {
    document.getElementById('login-error').textContent = res.data.error || '登录失败';
    return;
  }
  document.getElementById('login-error').textContent = '';
  start();
});

function route() {
  const name = decodeURIComponent(location.hash.slice(1)) || state.pages[0];
  state.page = state.pages.includes(name) ? name : state.pages[0];
  for (const a of document.querySelectorAll('#pages a')) {
    if (a.textContent === state.page) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
  render();
}

// Pages drawn by a script of their own (page-*.js): name → async (main, title).
const customPages = {};
function registerPage(name, draw) { customPages[name] = draw; }

// Widgets a script adds below a page's option controls, or below one inner tab
// of it (a list and its buttons): "page" or "page/tab" → [() => node].
const extras = {};
function registerExtra(page, tab, build) {
  const key = tab ? page + '/' + tab : page;
  (extras[key] = extras[key] || []).push(build);
}
function extrasFor(key) { return (extras[key] || []).map((build) => build()); }

function render() {
  const main = document.getElementById('page');
  const title = el('h2', { text: state.page });
  if (customPages[state.page]) customPages[state.page](main, title);
  else if (state.page === '功能状态') main.replaceChildren(title, statusPage());
  else if (state.page === '运行日志') main.replaceChildren(title, logPage());
  else if (state.page === '群设置') groupPage(main, title);
  else optionPage(main, title);
}

// The account's picture comes from QQ's own avatar server, to the owner's
// browser only, and only once the account is connected; until it loads (or
// when it cannot, offline) the avatar is the nickname's first character.
const AVATAR_HOST = 'https://q1.qlogo.cn';
function showAvatar(c) {
  const box = document.getElementById('avatar');
  const letter = (c.nick || '群').slice(0, 1);
  const account = c.state === 'connected' && /^[1-9][0-9]{4,11}$/.test(c.account) ? c.account : '';
  if (box.dataset.account === account && box.dataset.letter === letter) return;
  box.dataset.account = account;
  box.dataset.letter = letter;
  box.replaceChildren(letter);
  if (!account) return;
  const img = el('img', {
    alt: '', width: '72', height: '72', referrerpolicy: 'no-referrer',
    src: AVATAR_HOST + '/g?b=qq&nk=' + account + '&s=100',
  });
  img.addEventListener('load', () => { if (box.dataset.account === account) box.replaceChildren(img); });
}

// One row per account of the service; hidden while there is only one. An
// account whose robot has not started yet shows its state and cannot be shown.
function drawAccounts(accounts) {
  const list = document.getElementById('accounts');
  const key = JSON.stringify([accounts, state.account]);
  if (key === state.accountsKey) return;
  state.accountsKey = key;
  list.hidden = accounts.length < 2;
  list.replaceChildren(...accounts.map((a) => {
    const avatar = el('span', { class: 'mini-avatar', 'aria-hidden': 'true' }, (a.nick || '群').slice(0, 1));
    if (a.state === 'connected' && /^[1-9][0-9]{4,11}$/.test(a.account)) {
      const img = el('img', { alt: '', referrerpolicy: 'no-referrer', src: AVATAR_HOST + '/g?b=qq&nk=' + a.account + '&s=40' });
      img.addEventListener('load', () => avatar.replaceChildren(img));
    }
    const shown = a.account === state.account;
    return el('li', {}, el('button', {
      type: 'button', 'data-account': a.account, disabled: !a.ready && !shown,
      'aria-current': shown ? 'true' : undefined,
      onclick: () => switchAccount(a.account),
    }, avatar, el('span', { class: 'who' }, el('span', { text: a.account }),
      el('span', { class: 'state', text: a.nick ? a.nick + ' · ' + a.text : a.text }))));
  }));
}

// Every page, the sandbox and the run log are the shown account's: they start over.
async function switchAccount(account) {
  if (account === state.account) { setMenu(false); return; }
  state.account = account;
  state.log = [];
  state.lastLog = 0;
  state.statusKey = '';
  state.ready = null;
  setMenu(false);
  await poll();
  render();
}

async function poll() {
  const asked = state.account;
  const res = await api('GET', '/api/status');
  if (state.account !== asked) return;  // switched meanwhile: that poll draws the new one
  if (res.ok) {
    const s = res.data;
    state.status = s;
    const c = s.connection;
    if (!state.account) state.account = c.account;
    document.getElementById('shown-account').textContent =
      c.account ? '账号 ' + c.account + (c.nick ? ' (' + c.nick + ')' : '') : '';
    drawAccounts(s.accounts || []);
    // An account that has just started up: its pages can be drawn now.
    if (state.ready === false && s.ready) render();
    state.ready = !!s.ready;
    const conn = document.getElementById('conn-state');
    conn.textContent = c.text;
    conn.className = c.state;
    document.getElementById('conn-detail').textContent =
      '自 ' + c.since + ' 起' + (c.state === 'connected' ? ', 已处理事件 ' + c.events + ' 个' : '') +
      (c.detail ? ' (' + c.detail + ')' : '');
    document.getElementById('nick').textContent = c.nick || (c.account ? '' : '未登录账号');
    document.getElementById('account-number').textContent = c.account;
    showAvatar(c);
    const key = JSON.stringify(s.features);
    if (key !== state.statusKey) {
      state.statusKey = key;
      if (state.page === '功能状态') render();
    }
  }
  const log = await api('GET', '/api/runlog?after=' + state.lastLog);
  if (state.account !== asked) return;
  // A slow answer may overlap the next poll's: entries already taken are skipped.
  const fresh = log.ok ? log.data.entries.filter((e) => e.id > state.lastLog) : [];
  if (fresh.length) {
    state.log.push(...fresh);
    if (state.log.length > 2000) state.log.splice(0, state.log.length - 2000);
    state.lastLog = state.log[state.log.length - 1].id;
    if (state.page === '运行日志') appendLog(fresh);
  }
}

function statusPage() {
  if (!state.status) return el('p', { text: '正在读取…' });
  return el('div', { class: 'boxes' }, state.status.features.boxes.map((box) =>
    el('fieldset', { 'data-box': box.title }, el('legend', { text: box.title }),
      box.items.map((item) => el('div', { class: 'status-item' },
        el('span', { text: item.label }),
        el('span', {
          class: item.fixed ? 'status-fixed' : ('on' in item ? (item.on ? 'status-on' : 'status-off') : ''),
          'data-label': item.label, text: item.text,
        }))))));
}

function logRow(e) {
  return el('tr', { class: e.red ? 'red' : '' },
    el('td', { text: String(e.id) }), el('td', { text: e.time }), el('td', { text: e.type }),
    el('td', { text: e.message }));
}

function logPage() {
  const body = el('tbody', { id: 'log-body' }, state.log.slice().reverse().map(logRow));
  return el('div', { class: 'table-box' }, el('table', { class: 'log' },
    el('thead', {}, el('tr', {}, ['ID', '时间', '类型', '信息'].map((h) => el('th', { text: h })))), body));
}

function appendLog(entries) {
  const body = document.getElementById('log-body');
  if (!body) return;
  for (const e of entries) body.prepend(logRow(e));
}

// After the answer the page is drawn again, unless the owner has moved on to
// another page meanwhile (that page is drawn already; drawing it twice would
// replace it under the owner's hands).
async function change(name, value) {
  const page = state.page;
  const res = await api('POST', '/api/settings', { changes: { [name]: value } });
  if (res.ok) {
    // The control already shows the accepted value. Drawing the page again
    // would rebuild its lists from answers that may predate a button pressed
    // meanwhile (leaving a text box is a change, and so is the press after it).
    // An emptied box that took its default shows it, and says so beside it.
    for (const r of res.data.restored || []) showRestored(r);
    await poll();
    document.dispatchEvent(new CustomEvent('setting-changed', { detail: { name } }));
    return;
  }
  await ask(res.data.error || '修改失败');
  if (state.page === page) render();  // back to the value the settings kept
}

function showRestored(r) {
  const box = document.querySelector('[data-name="' + r.name + '"]');
  if (!box) return;
  box.value = r.value;
  for (const old of document.querySelectorAll('[data-restored]')) if (old.dataset.restored === r.name) old.remove();
  (box.closest('.row') || box).after(el('div', { class: 'row note', role: 'status', 'data-restored': r.name, text: r.message }));
}

function control(c) {
  if (c.kind === 'check' || c.kind === 'radio') {
    const input = el('input', {
      type: c.kind === 'check' ? 'checkbox' : 'radio', 'data-name': c.name, checked: c.value,
      'aria-label': c.label ? undefined : c.caption,
      name: c.group ? 'radio-' + c.group : undefined,  // one group: selecting one clears the rest
      onchange: (e) => change(c.name, e.target.checked),
    });
    return el('label', {}, input, c.label ? ' ' + c.label : '');
  }
  if (c.kind === 'area') {
    return el('textarea', { 'data-name': c.name, 'aria-label': c.caption, onchange: (e) => change(c.name, e.target.value) }, c.value);
  }
  return el('input', {
    type: 'text', 'data-name': c.name, value: c.value, class: c.number ? '' : 'wide', 'aria-label': c.caption,
    inputmode: c.number ? 'numeric' : undefined,
    onchange: (e) => change(c.name, e.target.value),
  });
}

// The variable buttons type their text at the caret, as the keyboard would.
function insertAtCaret(name, text) {
  const area = document.querySelector('[data-name="' + name + '"]');
  if (!area) return;
  const start = area.selectionStart ?? area.value.length;
  const end = area.selectionEnd ?? start;
  area.value = area.value.slice(0, start) + text + area.value.slice(end);
  area.selectionStart = area.selectionEnd = start + text.length;
  area.focus();
  area.dispatchEvent(new Event('change'));
}

function row(r) {
  if (r.hint) return el('div', { class: 'row hint', text: r.hint });
  if (r.note) return el('div', { class: 'row note', text: r.note });
  if (r.heading) return el('div', { class: 'row heading', text: r.heading });
  const parts = r.parts.map((p) => (p.text !== undefined ? el('span', { text: p.text }) : control(p)));
  const buttons = (r.variables || []).map((v) =>
    el('button', { type: 'button', class: 'plain', text: v, onclick: () => insertAtCaret(r.target, v) }));
  if (r.more) buttons.push(el('button', { type: 'button', class: 'plain', text: '更多', onclick: () => window.open('/help.html') }));
  return el('div', { class: 'row' }, parts, buttons);
}

function group(g) {
  return el('fieldset', {}, g.title ? el('legend', { text: g.title }) : null, g.rows.map(row));
}

async function tick(body) {
  const page = state.page;
  const res = await api('POST', '/api/groups/tick', body);
  if (!res.ok) await ask(res.data.error || '修改失败');
  else await poll();
  if (state.page === page) render();
}

const STATUS_COLUMN = 4;  // 群设置's 初始化状态
async function groupPage(main, title) {
  const res = await api('GET', '/api/groups');
  if (state.page !== '群设置' || !res.ok) return;
  const g = res.data;
  // Offline every fetch of members fails: that is the missing account, not a fault of the group.
  const offline = state.status && state.status.connection.state !== 'connected';
  const shown = (c, k) => (offline && k === STATUS_COLUMN && c === '获取群成员失败' ? '账号未连接, 连接后获取群成员' : c);
  const head = el('tr', {}, g.columns.map((c, i) => el('th', {},
    i === 0 ? el('button', { type: 'button', class: 'plain', id: 'tick-all', text: c, onclick: () => tick({ all: true, groups: g.rows.map((r) => r.cells[1]) }) }) : c)));
  const rows = g.rows.map((r, i) => el('tr', {},
    el('td', {}, el('input', {
      type: 'checkbox', 'data-row': String(i), checked: r.checked, 'aria-label': r.cells[1] || '',
      onchange: (e) => tick({ group: r.cells[1], row: i, checked: e.target.checked }),
    })),
    r.cells.slice(1).map((c, k) => el('td', { text: shown(c, k + 1) }))));
  // The page's buttons stand above the list (its hints point "up" to them).
  main.replaceChildren(title, ...extrasFor('群设置'),
    el('fieldset', {}, el('legend', { text: g.title }),
      el('div', { class: 'table-box' }, el('table', { class: 'log' }, el('thead', {}, head), el('tbody', {}, rows))),
      g.hints.map((h) => el('div', { class: 'row note', text: h }))));
}

let selectedTab = 0;
async function optionPage(main, title) {
  const name = state.page;
  const res = await api('GET', '/api/page?name=' + encodeURIComponent(name));
  if (state.page !== name) return;
  if (!res.ok) {
    const more = extrasFor(name);
    main.replaceChildren(title, ...(more.length ? more : [el('p', { class: 'placeholder', text: '这一页还不能在面板里设置。' })]));
    return;
  }
  const page = res.data;
  const content = [title, ...page.groups.map(group), ...extrasFor(name)];
  if (page.tabs && page.tabs.length) {
    const panel = el('div');
    const tabs = el('div', { class: 'tabs', role: 'tablist' });
    const show = (i) => {
      selectedTab = i;
      for (const [k, b] of [...tabs.children].entries()) b.setAttribute('aria-selected', String(k === i));
      panel.replaceChildren(group({ title: '', rows: page.tabs[i].rows }), ...extrasFor(name + '/' + page.tabs[i].title));
    };
    page.tabs.forEach((t, i) => tabs.append(el('button', { type: 'button', role: 'tab', text: t.title, onclick: () => show(i) })));
    content.push(tabs, panel);
    show(Math.min(selectedTab, page.tabs.length - 1));
  }
  main.replaceChildren(...content);
}

// The page scripts (page-*.js, loaded after this one) register first.
document.addEventListener('DOMContentLoaded', start);
