'use strict';
// 处罚记录 (an inner tab of 自动管理): every act of the robot as a case, newest
// first, with filters, pages, undo and a CSV download. Drawn with el() only.

(() => {
  const ACTIONS = ['撤回', '警告', '警告点', '禁言', '踢出', '踢出并拉黑', '拉黑', '报告',
    '解除禁言', '移出黑名单', '撤销警告点', '验证通过', '验证未通过踢出', '拒绝入群'];
  // The filter as typed, the cursors of the pages seen so far (for 上一页),
  // and the page shown; kept while the owner switches tabs.
  const cases = { filter: { group: '', member: '', rule: '', action: '', from: '', to: '' },
    cursors: [null], pageNo: 0, data: null, error: '' };

  // Unix seconds of the start (or end) of a day typed as yyyy-mm-dd, local time.
  function daySeconds(day, end) {
    if (!day) return '';
    const t = new Date(day + (end ? 'T23:59:59' : 'T00:00:00')).getTime();
    return Number.isNaN(t) ? '' : String(Math.floor(t / 1000));
  }

  function query(cursor) {
    const f = cases.filter;
    const p = new URLSearchParams();
    for (const key of ['group', 'member', 'rule', 'action']) if (f[key].trim()) p.set(key, f[key].trim());
    const from = daySeconds(f.from, false), to = daySeconds(f.to, true);
    if (from) p.set('from', from);
    if (to) p.set('to', to);
    if (cursor) { p.set('afterTime', cursor.time); p.set('afterId', cursor.id); }
    return p;
  }

  async function load(box) {
    const res = await api('GET', '/api/cases?' + query(cases.cursors[cases.pageNo]).toString());
    cases.data = res.ok ? res.data : null;
    cases.error = res.ok ? '' : (res.data.error || '读取失败');
    draw(box);
  }

  async function undo(box, c) {
    const what = c.action + ' ' + c.member + (c.group ? ' (群 ' + c.group + ')' : '');
    if (!await ask('撤销第 ' + c.id + ' 号记录: ' + what + '?', true)) return;
    const res = await api('POST', '/api/cases/undo', { id: c.id });
    await ask(res.data.message || res.data.error || (res.ok ? '已撤销' : '撤销失败'));
    await load(box);
  }

  function input(key, label, props) {
    return el('label', { class: 'case-filter' }, el('span', { text: label }),
      el('input', Object.assign({ value: cases.filter[key], 'data-filter': key,
        oninput: (e) => { cases.filter[key] = e.target.value; } }, props)));
  }

  function filters(box) {
    const action = el('select', { 'data-filter': 'action',
      onchange: (e) => { cases.filter.action = e.target.value; } },
    el('option', { value: '', text: '全部' }),
    ACTIONS.map((a) => el('option', { value: a, text: a, selected: a === cases.filter.action })));
    const search = (e) => {
      e.preventDefault();
      cases.cursors = [null];
      cases.pageNo = 0;
      load(box);
    };
    return el('form', { class: 'case-filters', onsubmit: search },
      input('group', '群号', { inputmode: 'numeric', size: 12 }),
      input('member', 'QQ号', { inputmode: 'numeric', size: 12 }),
      input('rule', '规则', { size: 12 }),
      el('label', { class: 'case-filter' }, el('span', { text: '动作' }), action),
      input('from', '从', { type: 'date' }),
      input('to', '到', { type: 'date' }),
      el('button', { type: 'submit', text: '查询' }),
      el('a', { class: 'button case-export', href: '/api/cases/export?' + query(null).toString(),
        download: '处罚记录.csv', text: '导出 CSV',
        onclick: (e) => { e.currentTarget.href = '/api/cases/export?' + query(null).toString(); } }));
  }

  function row(box, c) {
    const tags = [];
    if (c.wouldHave) tags.push(el('span', { class: 'case-tag watch', text: '本会' }));
    if (c.undone) tags.push(el('span', { class: 'case-tag undone', text: '已撤销' }));
    if (c.undoPending) tags.push(el('span', { class: 'case-tag pending', text: '撤销中, 等QQ确认' }));
    if (c.undoes) tags.push(el('span', { class: 'case-tag', text: '撤销 #' + c.undoes }));
    // Without a connected account a mute cannot be lifted: said in the row, not hidden in a tooltip.
    const act = c.canUndo
      ? el('button', { type: 'button', class: 'case-undo', text: '撤销', onclick: () => undo(box, c) })
      : c.needsLink
        ? el('span', { class: 'case-offline', title: c.whyNot, text: '未连接QQ, 无法撤销' })
        : el('span', { class: 'muted', title: c.whyNot, text: '—' });
    return el('tr', { 'data-case': c.id, class: c.undone ? 'undone' : '' },
      el('td', { text: String(c.id) }),
      el('td', { class: 'nowrap', text: c.timeText }),
      el('td', { text: c.group ? String(c.group) : '' }),
      el('td', { text: c.member ? String(c.member) : '' }),
      el('td', {}, el('span', { text: c.action }), ...tags),
      el('td', { text: c.rule }),
      el('td', { text: c.reason + (c.amount && c.action === '禁言' ? ' (' + c.amount + ' 秒)' : '') }),
      el('td', { class: 'case-evidence', title: c.evidence, text: c.evidence }),
      el('td', { title: c.actorText === '面板' ? '主人在设置面板上操作 (通过机器人 ' + c.robot + ')' : '',
        text: c.actorText || (c.actor ? String(c.actor) : '机器人') }),
      el('td', {}, act));
  }

  function draw(box) {
    const parts = [filters(box)];
    if (cases.error) parts.push(el('p', { class: 'error', text: cases.error }));
    const d = cases.data;
    if (d && !d.connected) {
      parts.push(el('p', { class: 'case-offline-note', role: 'status',
        text: '未连接QQ: 禁言现在不能撤销 (解除禁言要通过QQ账号, 等账号连上后再撤销)。移出黑名单和撤销警告点照常可以。' }));
    }
    if (!d) {
      if (!cases.error) parts.push(el('p', { class: 'placeholder', text: '正在读取…' }));
      box.replaceChildren(...parts);
      return;
    }
    parts.push(el('div', { class: 'case-table-wrap' }, el('table', { class: 'log case-table' },
      el('thead', {}, el('tr', {}, ['编号', '时间', '群号', 'QQ号', '动作', '规则', '原因', '证据', '执行人', '']
        .map((h) => el('th', { text: h })))),
      el('tbody', {}, d.cases.map((c) => row(box, c))),
      d.cases.length ? null : el('tfoot', {}, el('tr', {}, el('td', { colspan: 10, class: 'empty', text: '没有符合条件的记录' }))))));
    const prev = el('button', { type: 'button', text: '上一页', disabled: cases.pageNo === 0,
      onclick: () => { cases.pageNo -= 1; load(box); } });
    const next = el('button', { type: 'button', text: '下一页', disabled: !d.next,
      onclick: () => {
        cases.cursors[cases.pageNo + 1] = d.next;
        cases.cursors.length = cases.pageNo + 2;
        cases.pageNo += 1;
        load(box);
      } });
    parts.push(el('div', { class: 'case-pager' }, prev, el('span', { class: 'case-page-no', text: '第 ' + (cases.pageNo + 1) + ' 页' }), next));
    box.replaceChildren(...parts);
  }

  registerExtra('自动管理', '处罚记录', () => {
    const box = el('div', { class: 'cases' });
    cases.data = null;
    draw(box);
    load(box);
    return box;
  });
})();
