'use strict';
// 试一试: one event typed by the owner, run through the rules on a copy of the
// data; shows the host calls the robot would make and its run-log entries.

(() => {
  const kinds = [
    { value: 'message', label: '群消息', text: '消息内容' },
    { value: 'join', label: '进群', inviter: true },
    { value: 'leave', label: '退群' },
    { value: 'request', label: '加群请求', text: '验证信息', inviter: true },
  ];
  // What the owner typed stays when the page is drawn again (polling, navigation).
  const form = { kind: 'message', group: '', account: '', inviter: '', text: '' };

  function results(outcome) {
    const calls = outcome.calls.length
      ? el('ol', { class: 'sandbox-calls' }, outcome.calls.map((c) =>
        el('li', { 'data-action': c.action }, el('span', { text: c.text }),
          el('code', { text: c.json }))))
      : el('p', { class: 'placeholder', text: outcome.managed
        ? '机器人不会对群做任何操作。'
        : '这个群没有勾选监控: 机器人不处理它的事件。' });
    const log = outcome.runlog.length
      ? el('div', { class: 'table-box' }, el('table', { class: 'log sandbox-log' },
        el('thead', {}, el('tr', {}, ['时间', '类型', '信息'].map((h) => el('th', { text: h })))),
        el('tbody', {}, outcome.runlog.map((e) => el('tr', { class: e.red ? 'red' : '' },
          el('td', { text: e.time }), el('td', { text: e.type }), el('td', { text: e.message }))))))
      : el('p', { class: 'placeholder', text: '不写运行日志。' });
    return [
      el('fieldset', { id: 'sandbox-calls' }, el('legend', { text: '机器人会做的操作' }), calls),
      el('fieldset', { id: 'sandbox-runlog' }, el('legend', { text: '运行日志' }), log),
    ];
  }

  registerPage('试一试', async (main, title) => {
    const res = await api('GET', '/api/sandbox');
    if (state.page !== '试一试') return;
    if (!res.ok) {
      main.replaceChildren(title, el('p', { class: 'error', text: res.data.error || '读取失败' }));
      return;
    }
    if (!form.group && res.data.groups.length) {
      const managed = res.data.groups.find((g) => g.managed) || res.data.groups[0];
      form.group = managed.group;
    }
    const output = el('div', { id: 'sandbox-output' });
    const fields = el('div', { class: 'sandbox-fields' });
    const bind = (key) => (e) => { form[key] = e.target.value; };
    const draw = () => {
      const kind = kinds.find((k) => k.value === form.kind);
      const groupSelect = el('select', { id: 'sandbox-group', onchange: bind('group') },
        res.data.groups.map((g) => el('option', {
          value: g.group, selected: g.group === form.group,
          text: g.group + ' ' + g.name + (g.managed ? '' : ' (未监控)'),
        })));
      fields.replaceChildren(...[
        el('label', {}, '事件 ', el('select', {
          id: 'sandbox-kind',
          onchange: (e) => { form.kind = e.target.value; draw(); },
        }, kinds.map((k) => el('option', { value: k.value, text: k.label, selected: k.value === form.kind })))),
        el('label', {}, '群 ', res.data.groups.length ? groupSelect
          : el('span', { class: 'hint', text: '群列表是空的: 先在 群设置 里刷新群列表' })),
        el('label', {}, 'QQ号 ', el('input', {
          id: 'sandbox-account', type: 'text', inputmode: 'numeric', value: form.account,
          placeholder: '成员的QQ号', oninput: bind('account'),
        })),
        kind.inviter ? el('label', {}, '邀请人 ', el('input', {
          id: 'sandbox-inviter', type: 'text', inputmode: 'numeric', value: form.inviter,
          placeholder: '可留空', oninput: bind('inviter'),
        })) : null,
        kind.text ? el('label', { class: 'sandbox-text' }, kind.text, el('textarea', {
          id: 'sandbox-text', oninput: bind('text'),
        }, form.text)) : null,
      ].filter(Boolean));
    };
    draw();
    const run = async (event) => {
      event.preventDefault();
      const button = event.submitter || main.querySelector('#sandbox-run');
      button.disabled = true;
      const kind = kinds.find((k) => k.value === form.kind);
      const body = { kind: form.kind, group: form.group, account: form.account.trim() };
      if (kind.inviter) body.inviter = form.inviter.trim();
      if (kind.text) body.text = form.text;
      const answer = await api('POST', '/api/sandbox', body);
      button.disabled = false;
      if (!answer.ok) {
        output.replaceChildren(el('p', { class: 'error', role: 'alert', text: answer.data.error || '试一试失败' }));
        return;
      }
      output.replaceChildren(...results(answer.data));
    };
    main.replaceChildren(title,
      el('form', { class: 'card sandbox-form', onsubmit: run },
        el('p', { class: 'note-text', text: '以群成员的身份发一条群消息, 或模拟进群、退群、加群请求, 看看机器人按现在的设置会怎么做。' +
          '这一切都在数据的副本上进行: 不会对任何群操作, 也不会改动数据库和文件。' }),
        fields,
        el('div', {}, el('button', { type: 'submit', id: 'sandbox-run', text: '试一试' }))),
      output, ...extrasFor('试一试'));
  });
})();
