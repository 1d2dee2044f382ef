'use strict';
// 自动管理/入群验证: the verification settings as one form saved together, the
// owner's questions with their answers, and the members still to answer with
// a pass button. Drawn with el() and DOM calls only.

(() => {
  // One question row of the form: the question and its answers, "|" between answers.
  function questionRow(q, rows) {
    const question = el('input', { type: 'text', class: 'vq-question', 'aria-label': '问题', value: q.question });
    const answers = el('input', { type: 'text', class: 'vq-answers', 'aria-label': '答案', value: q.answers.join(' | ') });
    const row = el('tr', {},
      el('td', {}, question), el('td', {}, answers),
      el('td', {}, el('button', {
        type: 'button', class: 'plain', text: '删除',
        onclick: () => { rows.splice(rows.indexOf(entry), 1); row.remove(); },
      })));
    const entry = {
      row,
      read: () => ({ question: question.value, answers: answers.value.split(/[|｜]/).map((a) => a.trim()) }),
    };
    rows.push(entry);
    return row;
  }

  function settingsForm(data, box) {
    const s = data.settings;
    const on = el('input', { type: 'checkbox', id: 'verify-on', checked: s.on });
    const picks = data.groups.map((g) => ({
      g,
      input: el('input', { type: 'checkbox', 'data-group': g.group, checked: s.groups.includes(g.group) }),
    }));
    const arithmetic = el('input', { type: 'radio', name: 'verify-kind', id: 'verify-arithmetic', checked: !s.ownQuestions });
    const own = el('input', { type: 'radio', name: 'verify-kind', id: 'verify-own', checked: s.ownQuestions });
    const minutes = el('input', { type: 'text', id: 'verify-minutes', inputmode: 'numeric', value: String(s.minutes) });
    const wrong = el('input', { type: 'text', id: 'verify-wrong', inputmode: 'numeric', value: String(s.wrongLimit) });
    const refuse = el('input', { type: 'checkbox', id: 'verify-refuse', checked: s.refuseRejoin });
    const command = el('input', { type: 'text', id: 'verify-command', class: 'wide', value: s.passCommand });
    const rows = [];
    const body = el('tbody', {}, s.questions.map((q) => questionRow(q, rows)));
    const message = el('p', { class: 'error', id: 'verify-error', role: 'alert' });
    const saved = el('span', { class: 'saved', id: 'verify-saved', role: 'status' });

    async function save() {
      message.textContent = '';
      saved.textContent = '';
      const res = await api('POST', '/api/verification', {
        on: on.checked,
        groups: picks.filter((p) => p.input.checked).map((p) => p.g.group),
        ownQuestions: own.checked,
        questions: rows.map((r) => r.read()).filter((q) => q.question.trim() || q.answers.some((a) => a)),
        minutes: minutes.value.trim(),
        wrongLimit: wrong.value.trim(),
        refuseRejoin: refuse.checked,
        passCommand: command.value,
      });
      if (!res.ok) {
        message.textContent = res.data.error || '保存失败';
        return;
      }
      saved.textContent = '已保存';
    }

    const groupBox = picks.length
      ? el('div', { class: 'verify-groups' }, picks.map((p) => el('label', {}, p.input,
        ' ' + p.g.group + ' ' + p.g.name + (p.g.managed ? '' : ' (未勾选管理)'))))
      : el('p', { class: 'placeholder', text: '群列表里还没有群' });
    box.append(
      el('fieldset', { 'data-box': '验证设置' }, el('legend', { text: '验证设置' }),
        el('div', { class: 'row' }, el('label', {}, on, ' 开启入群验证')),
        el('div', { class: 'row heading', text: '验证的群 (新成员进这些群时要回答问题)' }), groupBox,
        el('div', { class: 'row' }, el('span', { text: '题目:' }),
          el('label', {}, arithmetic, ' 算术题'), el('label', {}, own, ' 自定义问题 (下面的列表)')),
        el('div', { class: 'row' }, el('label', {}, '回答时限 ', minutes, ' 分钟')),
        el('div', { class: 'row' }, el('label', {}, '答错 ', wrong, ' 次踢出')),
        el('div', { class: 'row' }, el('label', {}, refuse, ' 踢出后拒绝其再次加群')),
        el('div', { class: 'row' }, el('label', {}, '放行命令 ', command)),
        el('div', { class: 'row note', text: '管理员在群里发 “@成员 ' + s.passCommand + '” 即可放行该成员。' }),
        data.canRecall ? null : el('div', { class: 'row hint', text: '当前宿主不能撤回消息: 未验证成员的其他发言不会被撤回。' })),
      el('fieldset', { 'data-box': '自定义问题' }, el('legend', { text: '自定义问题' }),
        el('table', { class: 'log verify-questions' },
          el('thead', {}, el('tr', {}, ['问题', '可接受的答案 (多个用 | 分隔)', ''].map((h) => el('th', { text: h })))),
          body),
        el('div', { class: 'row' }, el('button', {
          type: 'button', class: 'plain', id: 'verify-add-question', text: '添加问题',
          onclick: () => { const row = questionRow({ question: '', answers: [] }, rows); body.append(row); row.querySelector('input').focus(); },
        }))),
      el('div', { class: 'row' }, el('button', { type: 'button', id: 'verify-save', text: '保存', onclick: save }), saved),
      message);
  }

  function passButton(p, box) {
    return el('button', {
      type: 'button', class: 'plain', text: '放行', 'aria-label': '放行 ' + p.member,
      onclick: async () => {
        const res = await api('POST', '/api/verification/pass', { group: p.group, member: p.member });
        // Gone meanwhile (answered, left, kicked): said, and the list drawn as it is now.
        if (!res.ok) await ask(res.data.error || '放行失败');
        if (res.ok || res.status === 404) draw(box);
      },
    });
  }

  function pendingList(data, box) {
    const rows = data.pending.map((p) => el('tr', { 'data-member': p.member },
      el('td', { text: p.group }), el('td', { text: p.member }), el('td', { text: p.question }),
      el('td', { text: p.joined }), el('td', { text: p.deadline }), el('td', { text: String(p.wrong) }),
      el('td', {}, passButton(p, box))));
    const empty = data.pending.length ? null
      : el('tfoot', {}, el('tr', {}, el('td', { colspan: 7, class: 'empty', text: '(没有待验证的成员)' })));
    const table = el('table', { class: 'log verify-pending' },
      el('thead', {}, el('tr', {}, ['群', 'QQ号', '问题', '进群时间', '截止时间', '答错', ''].map((h) => el('th', { text: h })))),
      el('tbody', {}, rows), empty);
    box.append(el('fieldset', { 'data-box': '待验证成员' }, el('legend', { text: '待验证成员' }),
      el('div', { class: 'table-box' }, table)));
  }

  async function draw(box) {
    const res = await api('GET', '/api/verification');
    if (!res.ok) {
      box.replaceChildren(el('p', { class: 'error', text: res.data.error || '读取失败' }));
      return;
    }
    box.replaceChildren();
    settingsForm(res.data, box);
    pendingList(res.data, box);
  }

  registerExtra('自动管理', '入群验证', () => {
    const box = el('div', { class: 'verification' }, el('p', { class: 'placeholder', text: '正在读取…' }));
    draw(box);
    return box;
  });
})();
