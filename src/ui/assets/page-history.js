'use strict';
// 试一试 → 消息记录 and 试一试历史: which groups keep their messages, and the
// rules tried on what was kept (the current set, or a rule being edited),
// shown as the cases they would have produced. Nothing is done to any group.

const historyPage = {
  group: '', from: '', to: '', mode: 'all', rule: '',
  outcome: null, error: '',
};

// The 自动管理 page hands a rule being edited over to be tried here.
function tryRuleOnHistory(rule) {
  historyPage.mode = 'rule';
  historyPage.rule = JSON.stringify(rule, null, 2);
  historyPage.outcome = null;
  location.hash = '#' + encodeURIComponent('试一试');
}

function dayText(d) {
  const pad = (n) => String(n).padStart(2, '0');
  return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate());
}

function historyTable(headers, rows, attrs) {
  return el('div', { class: 'table-box' }, el('table', Object.assign({ class: 'log history-table' }, attrs || {}),
    el('thead', {}, el('tr', {}, headers.map((h) => el('th', { text: h })))),
    el('tbody', {}, rows)));
}

function keptGroups(box, data) {
  const rows = data.groups.map((g) => {
    const days = el('input', {
      type: 'number', min: '0', max: String(data.maxDays), value: String(g.days),
      'data-group': g.group, class: 'history-days', 'aria-label': '群 ' + g.group + ' 保留天数',
      disabled: !g.managed && g.days === 0,
      onchange: async (e) => {
        const answer = await api('POST', '/api/history/groups',
          { group: g.group, days: Number(e.target.value) });
        if (!answer.ok) {
          box.querySelector('.history-error').textContent = answer.data.error || '保存失败';
          e.target.value = String(g.days);
          return;
        }
        box.querySelector('.history-error').textContent = '';
        keptGroups(box, Object.assign({}, data, { groups: answer.data.groups }));
      },
    });
    return el('tr', { 'data-group': g.group },
      el('td', { text: g.group }), el('td', { text: g.name + (g.managed ? '' : ' (未监控)') }),
      el('td', {}, days, ' 天'), el('td', { class: 'history-kept', text: String(g.kept) }));
  });
  box.replaceChildren(
    el('p', { class: 'note-text', text: '勾选监控的群可以记录收到的群消息 (时间、群号、QQ号、消息编号和消息内容, 每条最多 2000 字节), ' +
      '保存在本机的数据库里, 最多 ' + data.maxDays + ' 天、每群最多 ' + data.maxPerGroup.toLocaleString('zh-CN') + ' 条, 用来在下面试一试规则。' +
      '默认不记录; 天数设为 0 即停止记录, 并删除已记录的消息。' }),
    data.groups.length ? historyTable(['群号', '群名', '保留天数', '已记录'], rows, { id: 'history-groups' })
      : el('p', { class: 'placeholder', text: '群列表是空的: 先在 群设置 里刷新群列表' }),
    el('p', { class: 'error history-error', role: 'alert' }));
}

function trialResults(o) {
  const summary = el('p', { id: 'history-summary', text: '试了 ' + o.messages + ' 条消息, 会产生 ' + o.cases + ' 个处罚记录' +
    (o.cut ? ' (范围内的消息太多, 只试了最早的 ' + o.messages + ' 条)' : '') + '。' });
  if (!o.messages) {
    return [summary, el('p', { class: 'placeholder', text: '这段时间没有记录的消息: 先在上面为这个群打开消息记录。' })];
  }
  const perRule = historyTable(['规则', '处罚记录'], o.perRule.map((r) =>
    el('tr', { 'data-rule': r.rule }, el('td', { text: r.rule }), el('td', { text: String(r.cases) }))),
  { id: 'history-per-rule' });
  const perMember = historyTable(['成员', '处罚记录'], o.perMember.slice(0, 50).map((m) =>
    el('tr', { 'data-member': m.member }, el('td', { text: m.member }), el('td', { text: String(m.cases) }))),
  { id: 'history-per-member' });
  const list = historyTable(['时间', '成员', '规则', '原因', '会做的操作', '消息'], o.listed.map((c) =>
    el('tr', { class: c.watch ? 'watch' : '' }, el('td', { text: c.time }), el('td', { text: c.member }),
      el('td', { text: c.rule + (c.watch ? ' (仅观察)' : '') }), el('td', { text: c.reason }),
      el('td', { text: c.actions }), el('td', { class: 'history-evidence', text: c.evidence }))),
  { id: 'history-cases' });
  return [summary,
    o.cases ? el('div', { class: 'history-counts' },
      el('div', {}, el('h4', { text: '每条规则' }), perRule),
      el('div', {}, el('h4', { text: '每个成员' }), perMember)) : null,
    o.cases ? el('h4', { text: '处罚记录' + (o.listed.length < o.cases ? ' (前 ' + o.listed.length + ' 个)' : '') }) : null,
    o.cases ? list : null].filter(Boolean);
}

function trialForm(data) {
  const managed = data.groups.filter((g) => g.managed);
  if (!historyPage.group || !managed.some((g) => g.group === historyPage.group)) {
    const keeping = managed.find((g) => g.days > 0) || managed[0];
    historyPage.group = keeping ? keeping.group : '';
  }
  if (!historyPage.to) {
    const today = new Date();
    historyPage.to = dayText(today);
    historyPage.from = dayText(new Date(today.getTime() - 6 * 86400000));
  }
  const output = el('div', { id: 'history-output' });
  if (historyPage.outcome) output.replaceChildren(...trialResults(historyPage.outcome));
  if (historyPage.error) output.replaceChildren(el('p', { class: 'error', role: 'alert', text: historyPage.error }));
  const bind = (key) => (e) => { historyPage[key] = e.target.value; };
  const ruleBox = el('label', { class: 'history-rule', hidden: historyPage.mode !== 'rule' }, '正在编辑的规则 (JSON)',
    el('textarea', { id: 'history-rule', spellcheck: 'false', oninput: bind('rule') }, historyPage.rule));
  const run = async (event) => {
    event.preventDefault();
    const button = event.submitter || document.getElementById('history-run');
    const body = { group: historyPage.group, from: historyPage.from, to: historyPage.to };
    if (historyPage.mode === 'rule') {
      try {
        body.rule = JSON.parse(historyPage.rule);
      } catch (e) {
        historyPage.outcome = null;
        historyPage.error = '规则不是有效的 JSON: ' + e.message;
        output.replaceChildren(el('p', { class: 'error', role: 'alert', text: historyPage.error }));
        return;
      }
    }
    button.disabled = true;
    output.replaceChildren(el('p', { class: 'placeholder', text: '正在试…' }));
    const answer = await api('POST', '/api/history/try', body);
    button.disabled = false;
    historyPage.outcome = answer.ok ? answer.data : null;
    historyPage.error = answer.ok ? '' : (answer.data.error || '试一试历史失败');
    output.replaceChildren(...(answer.ok ? trialResults(answer.data)
      : [el('p', { class: 'error', role: 'alert', text: historyPage.error })]));
  };
  return el('form', { class: 'history-form', onsubmit: run },
    el('div', { class: 'sandbox-fields' },
      el('label', {}, '群 ', managed.length ? el('select', { id: 'history-group', onchange: bind('group') },
        managed.map((g) => el('option', { value: g.group, selected: g.group === historyPage.group,
          text: g.group + ' ' + g.name + (g.days ? '' : ' (未记录)') })))
        : el('span', { class: 'hint', text: '没有勾选监控的群' })),
      el('label', {}, '从 ', el('input', { id: 'history-from', type: 'date', value: historyPage.from, oninput: bind('from') })),
      el('label', {}, '到 ', el('input', { id: 'history-to', type: 'date', value: historyPage.to, oninput: bind('to') })),
      el('label', {}, '规则 ', el('select', {
        id: 'history-mode',
        onchange: (e) => { historyPage.mode = e.target.value; ruleBox.hidden = historyPage.mode !== 'rule'; },
      }, el('option', { value: 'all', text: '当前的全部规则', selected: historyPage.mode === 'all' }),
      el('option', { value: 'rule', text: '正在编辑的一条规则', selected: historyPage.mode === 'rule' }))),
      ruleBox),
    el('div', {}, el('button', { type: 'submit', id: 'history-run', text: '试一试历史' })),
    output);
}

registerExtra('试一试', '', () => {
  const kept = el('fieldset', { id: 'history-keep' }, el('legend', { text: '消息记录' }),
    el('p', { class: 'placeholder', text: '正在读取…' }));
  const trial = el('fieldset', { id: 'history-trial' }, el('legend', { text: '试一试历史' }),
    el('p', { class: 'placeholder', text: '正在读取…' }));
  (async () => {
    const res = await api('GET', '/api/history');
    if (!res.ok) {
      kept.replaceChildren(kept.firstChild, el('p', { class: 'error', text: res.data.error || '读取失败' }));
      return;
    }
    const box = el('div', {});
    keptGroups(box, res.data);
    kept.replaceChildren(kept.firstChild, box);
    trial.replaceChildren(trial.firstChild,
      el('p', { class: 'note-text', text: '把自动管理的规则放到这个群记录下来的消息上试一试, 看看它们会产生哪些处罚记录。' +
        '只是模拟: 不会对任何群操作, 也不会改动数据库和文件。' }),
      trialForm(res.data));
  })();
  return el('div', { id: 'history' }, kept, trial);
});
