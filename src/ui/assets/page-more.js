'use strict';
// 更多功能: the launcher of its inner tabs, the keyword list and its add box,
// the timed tasks, and the statistics with a chart of joins and leaves per day.
// Drawn with el() and DOM calls only (the chart too): no markup from strings.

const more = { statsDay: '', statsFromLauncher: false };

// Selects an inner tab of the page by its title, as its tab button would.
function selectMoreTab(title) {
  const tab = [...document.querySelectorAll('.tabs button')].find((b) => b.textContent === title);
  if (tab) tab.click();
}

const SVG = 'http://www.w3.org/2000/svg';
function svg(tag, attrs, ...children) {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, String(v));
  for (const c of children) if (c) node.append(c);
  return node;
}

// Small line icons of the launcher tiles (24 × 24, drawn in the tile's colour).
const tileIcons = {
  定时功能: () => [svg('circle', { cx: 12, cy: 12, r: 9 }), svg('path', { d: 'M12 7v5l3 3' })],
  进群统计: () => [svg('path', { d: 'M4 20h16' }), svg('path', { d: 'M7 16v-5M12 16V6M17 16v-8' })],
  进群审核: () => [svg('path', { d: 'M12 3l7 3v5c0 5-3 8-7 10-4-2-7-5-7-10V6z' }), svg('path', { d: 'M9 12l2 2 4-4' })],
  人数控制: () => [svg('circle', { cx: 9, cy: 8, r: 3 }), svg('path', { d: 'M3 20c0-4 3-6 6-6s6 2 6 6' }),
    svg('path', { d: 'M16 5a3 3 0 010 6M18 14c2 1 3 3 3 6' })],
  关键词回复: () => [svg('path', { d: 'M4 5h16v10H9l-5 4z' }), svg('path', { d: 'M8 9h8M8 12h5' })],
};

function launcher() {
  return el('div', { class: 'launcher' }, Object.keys(tileIcons).map((title) =>
    el('button', {
      type: 'button', class: 'tile', 'data-tile': title,
      onclick: () => {
        if (title === '进群统计') more.statsFromLauncher = true;
        selectMoreTab(title);
      },
    }, svg('svg', { viewBox: '0 0 24 24', width: 40, height: 40, fill: 'none', stroke: 'currentColor',
      'stroke-width': 1.8, 'stroke-linecap': 'round', 'stroke-linejoin': 'round', 'aria-hidden': 'true' },
    ...tileIcons[title]()), el('span', { text: title }))));
}
registerExtra('更多功能', '更多功能', launcher);

// A list view as a table; `lead(row, i)` draws the first cell (a tick or a choice).
function listTable(list, lead, leadTitle, name) {
  return el('table', { class: 'log more-list', 'data-list': name },
    el('thead', {}, el('tr', {}, el('th', { text: leadTitle }), list.columns.map((c) => el('th', { text: c })))),
    el('tbody', {}, list.rows.map((r, i) => el('tr', {}, el('td', {}, lead(r, i)),
      r.cells.map((c) => el('td', { text: c }))))),
    list.rows.length ? null : el('tfoot', {}, el('tr', {}, el('td', { colspan: list.columns.length + 1, class: 'empty', text: '(空)' }))));
}

async function failed(res) {
  if (res.ok) return false;
  await ask(res.data.error || '操作失败');
  return true;
}

// ---- 关键词回复 ----

function keywordWidget() {
  const box = el('div', { class: 'more-keywords' }, el('p', { class: 'placeholder', text: '正在读取…' }));
  const draw = (k) => {
    const picks = [];
    const table = listTable(k, (r, i) => {
      const pick = el('input', { type: 'checkbox', 'aria-label': r.cells[1] });
      picks.push({ pick, row: i, key: r.cells.slice(1, 4) });  // keyword, reply, mode
      return pick;
    }, '选择', '超级列表框_回复关键词');
    const chosen = () => picks.filter((p) => p.pick.checked).map((p) => ({ row: p.row, key: p.key }));
    const listAction = async (path, question) => {
      const rows = chosen();
      if (!rows.length) { await ask('请先在列表里选择回复语'); return; }
      if (question && !(await ask(question.replace('N', rows.length), true))) return;
      const res = await api('POST', path, { rows });
      if (!(await failed(res))) draw(res.data);
    };
    const keyword = el('input', { type: 'text', class: 'wide', id: 'kw-keyword', value: k.add.keyword });
    const reply = el('input', { type: 'text', class: 'wider', id: 'kw-reply', value: k.add.reply });
    const count = el('input', { type: 'text', id: 'kw-count', inputmode: 'numeric', value: k.add.count });
    const exact = el('input', { type: 'radio', name: 'kw-mode', id: 'kw-exact', checked: k.add.mode === '精准' });
    const fuzzy = el('input', { type: 'radio', name: 'kw-mode', id: 'kw-fuzzy', checked: k.add.mode !== '精准' });
    const add = async () => {
      const res = await api('POST', '/api/more/keywords', {
        keyword: keyword.value, reply: reply.value, count: count.value, mode: exact.checked ? '精准' : '模糊',
      });
      if (!(await failed(res))) draw(res.data);
    };
    const variable = () => {
      const start = reply.selectionStart ?? reply.value.length;
      const end = reply.selectionEnd ?? start;
      reply.value = reply.value.slice(0, start) + '{智能变量}' + reply.value.slice(end);
      reply.selectionStart = reply.selectionEnd = start + '{智能变量}'.length;
      reply.focus();
    };
    box.replaceChildren(
      el('fieldset', {}, el('legend', { text: '关键词列表' }), el('div', { class: 'scroll' }, table),
        el('div', { class: 'row' },
          el('button', { type: 'button', id: 'kw-delete', text: '删除该回复语', onclick: () => listAction('/api/more/keywords/delete', '删除选中的 N 条回复语?') }),
          el('button', { type: 'button', class: 'plain', id: 'kw-clear', text: '清空已回复次数', onclick: () => listAction('/api/more/keywords/clear') }))),
      el('fieldset', {}, el('legend', { text: '添加' }),
        el('div', { class: 'row' }, el('label', { for: 'kw-keyword', text: '关键词:' }), keyword),
        el('div', { class: 'row' }, el('label', { for: 'kw-reply', text: '回复内容:' }), reply,
          el('button', { type: 'button', class: 'plain', id: 'kw-variable', text: '{智能变量}', onclick: variable }),
          el('a', { href: '/help.html', target: '_blank', rel: 'noopener', text: '更多' })),
        el('div', { class: 'row' }, el('label', { for: 'kw-count', text: '回复次数:' }), count,
          el('span', { class: 'note', text: '0 为不限次数' })),
        el('div', { class: 'row' }, el('span', { text: '匹配模式' }),
          el('label', {}, exact, ' 精准匹配'), el('label', {}, fuzzy, ' 模糊匹配')),
        el('div', { class: 'row' }, el('button', { type: 'button', id: 'kw-add', text: '添加', onclick: add }))));
  };
  api('GET', '/api/more/keywords').then((res) => { if (res.ok) draw(res.data); });
  return box;
}
registerExtra('更多功能', '关键词回复', keywordWidget);

// ---- 定时功能 ----

// A task row as the service names it: times repeat, so with action and content.
const taskRow = (r, i) => ({ row: i, key: r.cells.slice(0, 3) });

function taskWidget() {
  const box = el('div', { class: 'more-tasks' }, el('p', { class: 'placeholder', text: '正在读取…' }));
  let shownKey = '';
  let form = null;  // the add box keeps what is being typed across list refreshes
  const listPart = el('div');
  const drawList = (t) => {
    shownKey = JSON.stringify([t.rows, t.schedulerRunning, t.runNowEnabled]);
    const tick = async (r, i, checked) => {
      const res = await api('POST', '/api/more/tasks/tick', { rows: [taskRow(r, i)], checked });
      if (!(await failed(res))) drawList(res.data);
      else { shownKey = ''; refresh(); }
    };
    const table = listTable(t, (r, i) => el('input', {
      type: 'checkbox', checked: r.checked, 'aria-label': r.cells[0] + ' ' + r.cells[1],
      onchange: (e) => tick(r, i, e.target.checked),
    }), '勾选', '超级列表框_定时任务');
    const remove = async () => {
      if (!t.rows.some((r) => r.checked)) { await ask('请先勾选要删除的任务'); return; }
      const rows = t.rows.map(taskRow).filter((_, i) => t.rows[i].checked);
      const res = await api('POST', '/api/more/tasks/delete', { rows });
      if (!(await failed(res))) drawList(res.data);
      else { shownKey = ''; refresh(); }
    };
    if (form) form.runNow.disabled = !t.runNowEnabled;
    listPart.replaceChildren(
      el('fieldset', {}, el('legend', { text: '任务列表' }), el('div', { class: 'scroll' }, table),
        el('div', { class: 'row' },
          el('button', { type: 'button', id: 'task-delete', text: '删除勾选任务', onclick: remove }),
          el('span', { class: 'note', id: 'task-scheduler', text: !t.connected ? '离线配置: 定时任务不会执行' : t.schedulerRunning ? '定时任务正在运行' : '定时任务未运行' }))));
  };
  const drawForm = (t) => {
    const clock = new Date().toTimeString().slice(0, 8);  // the window's date box starts at now
    // Text, not a time picker: the picker follows the browser's 12-hour locales.
    const time = el('input', { type: 'text', id: 'task-time', placeholder: '时:分:秒', value: t.add.time || clock });
    const radios = t.actions.map((a) => el('input', { type: 'radio', name: 'task-action', value: a, checked: a === t.add.action }));
    const content = el('textarea', { id: 'task-content', rows: '3' }, t.add.content);
    const values = () => ({
      time: time.value, content: content.value,
      action: (radios.find((r) => r.checked) || {}).value || '',
    });
    const add = async () => {
      const res = await api('POST', '/api/more/tasks', values());
      if (!(await failed(res))) drawList(res.data);
    };
    const runNow = el('button', {
      type: 'button', class: 'plain', id: 'task-run', text: '立即执行任务', disabled: !t.runNowEnabled,
      onclick: async () => {
        const res = await api('POST', '/api/more/tasks/run', values());
        if (!(await failed(res))) { drawList(res.data); await ask('已开始执行: ' + values().action + ' (结果见运行日志)'); }
      },
    });
    form = { runNow };
    return el('fieldset', {}, el('legend', { text: '添加任务' }),
      el('div', { class: 'row' }, el('label', { for: 'task-time', text: '执行时间:' }), time),
      el('div', { class: 'row' }, el('span', { text: '执行操作' }),
        t.actions.map((a, i) => el('label', {}, radios[i], ' ' + a))),
      el('div', { class: 'row' }, el('label', { for: 'task-content', text: '内容----发送信息和发送公告专用' })),
      el('div', { class: 'row' }, content),
      el('div', { class: 'row note', text: '发布公告: 标题+++内容 (标题为 本群须知 时发布为群须知); 发布作业: 科目+++内容' }),
      t.connected ? null : el('div', { class: 'row hint', id: 'task-offline', text: '离线配置: 没有连接账号, 立即执行不可用, 定时任务也要连接账号后才能执行' }),
      el('div', { class: 'row' },
        el('button', { type: 'button', id: 'task-add', text: '添加任务', onclick: add }), runNow));
  };
  // Statuses change as the scheduler runs: the list follows while it is shown.
  const refresh = async () => {
    const res = await api('GET', '/api/more/tasks');
    if (!res.ok) return;
    if (!form) box.replaceChildren(listPart, drawForm(res.data));
    const key = JSON.stringify([res.data.rows, res.data.schedulerRunning, res.data.runNowEnabled]);
    if (key !== shownKey) drawList(res.data);
  };
  refresh();
  const timer = setInterval(() => { if (box.isConnected) refresh(); else clearInterval(timer); }, 2000);
  return box;
}
registerExtra('更多功能', '定时功能', taskWidget);

// ---- 进群统计 ----

function statisticsWidget() {
  const box = el('div', { class: 'more-stats' }, el('p', { class: 'placeholder', text: '正在读取…' }));
  const chart = el('div', { class: 'chart', id: 'stats-chart' });
  const draw = (v) => {
    more.statsDay = v.day;
    const choose = el('select', {
      id: 'stats-day', 'aria-label': '数据的日期:',
      onchange: (e) => show({ day: e.target.value, view: 'day' }),
    }, v.days.map((d) => el('option', { value: d, text: d, selected: d === v.day })));
    const head = el('tr', {}, v.headings.map((h, i) => el('th', {},
      el('button', { type: 'button', class: 'sort', title: '按这一列排序', text: h, onclick: () => sort(i) }))));
    const rows = v.rows.map((r) => {
      const tr = el('tr', {}, r.cells.map((c) => el('td', { text: c })));
      if (r.text) tr.style.color = r.text;
      if (r.back) tr.style.backgroundColor = r.back;
      return tr;
    });
    box.replaceChildren(
      el('fieldset', {}, el('legend', { text: '统计' }),
        el('div', { class: 'row' }, el('label', { for: 'stats-day', text: '数据的日期:' }), choose,
          el('button', { type: 'button', id: 'stats-summary', text: '汇总数据', onclick: () => show({ day: choose.value, view: 'summary' }) }),
          el('button', { type: 'button', class: 'plain', id: 'stats-dir', text: '打开数据目录',
            onclick: () => ask('数据目录: ' + v.directory + ' (浏览器打不开服务器上的文件夹, 请在服务器上打开它)') })),
        el('div', { class: 'summary', id: 'stats-summary-text', text: v.summary.replaceAll('\r\n', '\n') })),
      el('fieldset', {}, el('legend', { text: '群管数据' }),
        el('div', { class: 'scroll' }, el('table', { class: 'log', 'data-list': '超级列表框_群管数据' },
          el('thead', {}, head), el('tbody', {}, rows)))),
      el('fieldset', {}, el('legend', { text: '近 30 天进群与退群' }), chart));
  };
  const show = async (body) => {
    const res = await api('POST', '/api/more/statistics', body);
    if (!(await failed(res))) draw(res.data);
  };
  const sort = async (column) => {
    const res = await api('POST', '/api/more/statistics/sort', { column });
    if (!(await failed(res))) draw(res.data);
  };
  (async () => {
    let res = null;
    // From the launcher: the chosen date's statistics again; opening the tab
    // itself refreshes the dates and shows today.
    if (more.statsFromLauncher && more.statsDay) res = await api('POST', '/api/more/statistics', { day: more.statsDay, view: 'day' });
    more.statsFromLauncher = false;
    if (!res || !res.ok) res = await api('GET', '/api/more/statistics');
    if (res.ok) draw(res.data);
    const c = await api('GET', '/api/more/chart?days=30');
    if (c.ok) chart.replaceChildren(joinChart(c.data.days));
  })();
  return box;
}
registerExtra('更多功能', '进群统计', statisticsWidget);

// Bars per day: joins on the left, leaves and removals stacked on the right.
function joinChart(days) {
  const W = 760, H = 220, left = 34, bottom = 26, top = 10;
  const plotH = H - bottom - top;
  const max = Math.max(1, ...days.map((d) => Math.max(d.joins, d.leaves + d.removals)));
  const step = (W - left - 8) / days.length;
  const bar = Math.max(2, step / 2 - 2);
  const y = (n) => top + plotH - (n / max) * plotH;
  const root = svg('svg', { viewBox: `0 0 ${W} ${H}`, class: 'join-chart', role: 'img', 'aria-label': '近 30 天进群与退群人数' });
  const ticks = max <= 4 ? max : 4;
  for (let i = 0; i <= ticks; i++) {
    const n = Math.round((max * i) / ticks);
    root.append(svg('line', { x1: left, x2: W - 4, y1: y(n), y2: y(n), class: 'grid' }));
    const label = svg('text', { x: left - 6, y: y(n) + 4, 'text-anchor': 'end', class: 'axis' });
    label.textContent = String(n);
    root.append(label);
  }
  days.forEach((d, i) => {
    const x = left + i * step + 1;
    const g = svg('g', { 'data-day': d.day, 'data-joins': d.joins, 'data-leaves': d.leaves, 'data-removals': d.removals });
    const title = svg('title');
    title.textContent = `${d.day}  进群:${d.joins}  退群:${d.leaves}  踢出:${d.removals}`;
    g.append(title);
    g.append(svg('rect', { x, y: y(d.joins), width: bar, height: y(0) - y(d.joins), class: 'bar-join' }));
    g.append(svg('rect', { x: x + bar + 1, y: y(d.leaves), width: bar, height: y(0) - y(d.leaves), class: 'bar-leave' }));
    g.append(svg('rect', { x: x + bar + 1, y: y(d.leaves + d.removals), width: bar, height: y(d.leaves) - y(d.leaves + d.removals), class: 'bar-kick' }));
    if ((days.length - 1 - i) % 5 === 0) {
      const t = svg('text', { x: x + bar, y: H - 8, 'text-anchor': 'middle', class: 'axis' });
      t.textContent = d.day.replace(/^\d+-/, '');
      g.append(t);
    }
    root.append(g);
  });
  const legend = el('div', { class: 'legend' },
    el('span', { class: 'key key-join', text: '进群' }), el('span', { class: 'key key-leave', text: '退群' }),
    el('span', { class: 'key key-kick', text: '踢出' }));
  return el('div', {}, root, legend);
}
