'use strict';
// 自动管理: the automatic-moderation rules, the warning ladder and the report
// group, plus the inner tabs other scripts fill through
// registerExtra('自动管理', tab, build) (入群验证, 处罚记录). Each tab draws its
// own content, then extrasFor('自动管理/<tab>').
//
// Every change goes to the service at once and the page is drawn again from
// its answer; a refusal is shown beside the form and nothing is kept.

const automod = { tab: '规则', data: null, editing: null, error: '', ladder: null };

(() => {
  const PAGE = '自动管理';
  const TABS = ['规则', '警告阶梯', '入群验证', '处罚记录'];

  const STATES = [
    { value: 'on', label: '开启' },
    { value: 'watch', label: '仅观察' },
    { value: 'off', label: '关闭' },
  ];
  const TRIGGERS = [
    { value: 'words', label: '关键词' },
    { value: 'flood', label: '刷屏' },
    { value: 'repeat', label: '重复发送' },
    { value: 'raid', label: '多人刷同一内容' },
    { value: 'mentions', label: '@人过多' },
    { value: 'links', label: '链接、号码和卡片' },
  ];
  const MODES = [
    { value: 'contains', label: '包含' },
    { value: 'whole', label: '整句' },
    { value: 'regex', label: '正则表达式' },
  ];
  const ACTIONS = [
    { value: 'recall', label: '撤回消息' },
    { value: 'warn', label: '群里警告' },
    { value: 'points', label: '加警告点' },
    { value: 'mute', label: '禁言' },
    { value: 'kick', label: '踢出' },
    { value: 'kickBlacklist', label: '踢出并拉黑' },
    { value: 'report', label: '报告到管理群' },
  ];
  const LADDER_ACTIONS = ACTIONS.filter((a) => ['warn', 'mute', 'kick'].includes(a.value));
  const UNITS = [
    { value: 86400, label: '天' },
    { value: 3600, label: '小时' },
    { value: 60, label: '分钟' },
    { value: 1, label: '秒' },
  ];
  const WORDS_SHOWN = 200;
  const label = (list, value) => (list.find((x) => x.value === value) || { label: value }).label;

  // A duration in the largest unit that divides it: 600 → 10 分钟.
  function splitSeconds(seconds) {
    const s = Number(seconds) || 0;
    const unit = UNITS.find((u) => s > 0 && s % u.value === 0) || UNITS[2];
    return { amount: s ? s / unit.value : '', unit: unit.value };
  }
  function durationText(seconds) {
    const d = splitSeconds(seconds);
    return d.amount + ' ' + label(UNITS, d.unit);
  }

  // A number typed in a box goes to the service as typed when it is not a whole
  // number, so the refusal names the box instead of the page guessing.
  function numberOf(text) {
    const t = String(text).trim();
    return /^-?[0-9]+$/.test(t) ? Number(t) : t;
  }

  function triggerText(t) {
    switch (t.kind) {
      case 'words': {
        const words = (t.words || []).map((w) => w.text);
        return '关键词: ' + words.slice(0, 3).join('、') + (words.length > 3 ? ' 等 ' + words.length + ' 个' : '');
      }
      case 'flood': return '刷屏: ' + t.seconds + ' 秒内超过 ' + t.count + ' 条';
      case 'repeat': return '重复发送: 同一内容 ' + t.seconds + ' 秒内 ' + t.count + ' 次';
      case 'raid': return '多人刷同一内容: ' + t.seconds + ' 秒内 ' + t.count + ' 人';
      case 'mentions': return '@人过多: 超过 ' + t.count + ' 人' + (t.everyone ? ', 或 @全体成员' : '');
      case 'links': return '链接、号码和卡片: ' + [t.urls && '链接', t.numbers && 'QQ号/群号', t.cards && '卡片']
        .filter(Boolean).join('、');
      default: return t.kind;
    }
  }
  function actionText(a) {
    if (a.kind === 'mute') return '禁言 ' + durationText(a.seconds);
    if (a.kind === 'points') return '加 ' + a.count + ' 个警告点';
    return label(ACTIONS, a.kind);
  }
  function groupsText(groups) {
    return groups === 'all' ? '所有监控的群' : '群 ' + groups.join('、');
  }

  async function load() {
    const res = await api('GET', '/api/automod/rules');
    if (res.ok) automod.data = res.data;
    return res;
  }

  // Sends a change; on success the page is drawn again from the answer.
  async function send(path, body, onOk, onStale) {
    const page = state.page;
    const res = await api('POST', path, body);
    if (res.ok) {
      automod.data = res.data;
      automod.error = '';
      if (onOk) onOk();
    } else if (res.status === 409) {
      // Another tab changed the rules: show them as they are now.
      await ask(res.data.error || '规则已经变了, 请看一下新的列表再操作');
      await load();
      if (onStale) onStale();  // the refused draft goes; another one stays
    } else {
      automod.error = res.data.error || '保存失败';
    }
    if (state.page === page) automod.redraw();
    return res.ok;
  }

  // ---- the rule list ----

  // A rule whose section in automod.txt could not be read: off, its text kept
  // as written; the owner replaces it through the form or deletes it.
  function brokenPart(rule, broken) {
    return [
      el('div', { class: 'rule-broken-why', role: 'note' },
        el('strong', { text: '这条规则在 automod.txt 里读不了, 已停用: ' }), broken.reason || '内容有错',
        el('br'), '其他规则照常保存, 这一节的原文原样保留。点「编辑」重新填写并保存就会替换它, 或者删除它。'),
      el('details', { class: 'rule-broken-text' }, el('summary', { text: '文件里的原文 (编号 ' + rule.id + ')' }),
        el('pre', { text: broken.text })),
    ];
  }

  function ruleItem(rule, i, count) {
    const name = rule.name || '(未命名)';
    const broken = (automod.data.broken || []).find((b) => b.id === rule.id);
    return el('li', { class: 'automod-rule state-' + rule.state + (broken ? ' broken' : ''), 'data-rule': rule.id },
      el('div', { class: 'rule-head' },
        el('span', { class: 'rule-order', text: String(i + 1) }),
        el('strong', { class: 'rule-name', text: name }),
        broken ? el('span', { class: 'rule-broken-tag', text: '读不了' }) : null,
        el('label', { class: 'rule-state' }, '状态 ', el('select', {
          'aria-label': '规则「' + name + '」的状态', 'data-state': rule.id,
          // Switched on only once fixed in its form.
          disabled: !!broken, title: broken ? '先编辑修好这条规则' : '',
          onchange: (e) => send('/api/automod/rules/state', { id: rule.id, state: e.target.value }),
        }, STATES.map((s) => el('option', { value: s.value, text: s.label, selected: s.value === rule.state }))))),
      ...(broken ? brokenPart(rule, broken) : [
        el('div', { class: 'rule-what', text: triggerText(rule.trigger) +
          (rule.newcomerDays ? '; 只对入群不满 ' + rule.newcomerDays + ' 天的成员' : '') }),
        el('div', { class: 'rule-what', text: '→ ' + (rule.actions || []).map(actionText).join(' → ') }),
        el('div', { class: 'rule-what muted', text: groupsText(rule.groups) })]),
      el('div', { class: 'rule-buttons' },
        el('button', { type: 'button', class: 'plain', text: '上移', disabled: i === 0,
          'aria-label': '上移规则「' + name + '」', onclick: () => move(i, -1) }),
        el('button', { type: 'button', class: 'plain', text: '下移', disabled: i === count - 1,
          'aria-label': '下移规则「' + name + '」', onclick: () => move(i, 1) }),
        el('button', { type: 'button', text: '编辑', 'aria-label': '编辑规则「' + name + '」',
          onclick: () => {
            // The rule as drawn goes with the save, so an edit over another tab's is refused.
            automod.editing = structuredClone(rule); automod.editingBase = structuredClone(rule);
            automod.error = ''; automod.allWords = false; automod.redraw();
          } }),
        el('button', { type: 'button', class: 'danger', text: '删除', 'aria-label': '删除规则「' + name + '」',
          onclick: async () => {
            if (await ask('确定删除规则「' + name + '」么?', true)) send('/api/automod/rules/delete', { id: rule.id });
          } })));
  }

  function move(i, by) {
    const order = automod.data.rules.map((r) => r.id);
    [order[i], order[i + by]] = [order[i + by], order[i]];
    send('/api/automod/rules/move', { order });
  }

  function newRule() {
    return {
      name: '', state: 'on', groups: 'all', newcomerDays: 0,
      trigger: { kind: 'words', words: [{ text: '', mode: 'contains' }], allow: [] },
      actions: [{ kind: automod.data.canRecall ? 'recall' : 'warn', text: '[昵称] 请勿发送违规内容' }],
    };
  }

  function reportBox(d) {
    return el('fieldset', { class: 'automod-report' }, el('legend', { text: '报告群' }),
      el('div', { class: 'row' },
        el('label', {}, '动作「报告到管理群」发到 ', el('select', {
          id: 'automod-report-group', 'aria-label': '报告发到的管理群',
          onchange: (e) => send('/api/automod/report', { reportGroup: Number(e.target.value) }),
        }, el('option', { value: '0', text: '(不报告)', selected: !d.reportGroup }),
        d.groups.map((g) => el('option', {
          value: g.group, text: g.group + ' ' + g.name, selected: String(d.reportGroup) === String(g.group),
        }))))),
      el('div', { class: 'row note', text: '报告写明规则、成员、群和消息的摘录。群列表来自 群设置。' }));
  }

  function rulesTab(box) {
    const d = automod.data;
    if (automod.editing) {
      box.replaceChildren(ruleForm(automod.editing));
      return;
    }
    const list = d.rules.length
      ? el('ol', { class: 'automod-rules' }, d.rules.map((r, i) => ruleItem(r, i, d.rules.length)))
      : el('p', { class: 'placeholder', text: '还没有规则。点「添加规则」写第一条。' });
    box.replaceChildren(...[
      el('p', { class: 'note-text', text: '每条群消息按顺序对照所有规则。「仅观察」的规则只记下它本会怎么做 (写进运行日志和处罚记录), 不处理任何人。' +
        '管理员、群主、机器人和白名单成员不受这些规则处理。' }),
      automod.error ? el('p', { class: 'error', role: 'alert', text: automod.error }) : null,
      el('div', { class: 'row' }, el('button', {
        type: 'button', id: 'automod-add', text: '添加规则',
        onclick: () => { automod.editing = newRule(); automod.error = ''; automod.allWords = false; automod.redraw(); },
      })),
      list,
      reportBox(d)].filter(Boolean));
  }

  // ---- the rule form ----

  // A number box and its caption; `set` takes what was typed.
  function numberBox(caption, value, set, extra) {
    return el('input', {
      type: 'text', inputmode: 'numeric', value: value ?? '', 'aria-label': caption, class: 'num',
      oninput: (e) => set(numberOf(e.target.value)), ...(extra || {}),
    });
  }
  function durationBox(caption, seconds, set) {
    const d = splitSeconds(seconds);
    let amount = d.amount;
    let unit = d.unit;
    const update = () => set(typeof amount === 'number' ? amount * unit : amount);
    return el('span', { class: 'duration' },
      el('input', { type: 'text', inputmode: 'numeric', value: amount, 'aria-label': caption, class: 'num',
        oninput: (e) => { amount = numberOf(e.target.value); update(); } }),
      el('select', { 'aria-label': caption + '的单位', onchange: (e) => { unit = Number(e.target.value); update(); } },
        UNITS.map((u) => el('option', { value: u.value, text: u.label, selected: u.value === unit }))));
  }
  function check(caption, checked, set) {
    return el('label', {}, el('input', { type: 'checkbox', checked: !!checked, onchange: (e) => set(e.target.checked) }),
      ' ' + caption);
  }
  const lines = (text) => text.split(/\r?\n/).map((s) => s.trim()).filter(Boolean);

  function wordsForm(t, redraw) {
    t.words = t.words || [];
    t.allow = t.allow || [];
    // A list of thousands of words draws its first rows only, until asked.
    const shown = automod.allWords ? t.words : t.words.slice(0, WORDS_SHOWN);
    const rows = shown.map((w, i) => el('div', { class: 'row word-row' },
      el('input', { type: 'text', class: 'wide', value: w.text, 'aria-label': '第 ' + (i + 1) + ' 个词',
        oninput: (e) => { w.text = e.target.value; } }),
      el('select', { 'aria-label': '第 ' + (i + 1) + ' 个词的匹配方式', onchange: (e) => { w.mode = e.target.value; } },
        MODES.map((m) => el('option', { value: m.value, text: m.label, selected: m.value === w.mode }))),
      el('button', { type: 'button', class: 'plain', text: '删除', 'aria-label': '删除第 ' + (i + 1) + ' 个词',
        onclick: () => { t.words.splice(i, 1); redraw(); } })));
    let bulk = '';
    let bulkMode = 'contains';
    return [
      el('div', { class: 'row heading', text: '关键词' }),
      el('div', { class: 'row note', text: '比较前先去掉空格和看不见的字符, 全角字母数字转成半角, 不分大小写:\n「加 我 微 信」「ＶＸ」也能被「加我微信」「vx」认出。' }),
      ...rows,
      shown.length < t.words.length ? el('div', { class: 'row' }, el('button', {
        type: 'button', class: 'plain', id: 'words-all', text: '显示其余 ' + (t.words.length - shown.length) + ' 个词',
        onclick: () => { automod.allWords = true; redraw(); },
      })) : null,
      el('div', { class: 'row' }, el('button', { type: 'button', class: 'plain', text: '添加一个词',
        onclick: () => {
          t.words.push({ text: '', mode: 'contains' });
          if (t.words.length > WORDS_SHOWN) automod.allWords = true;
          redraw();
        } })),
      el('div', { class: 'row' },
        el('textarea', { class: 'bulk', 'aria-label': '一次添加多个词, 每行一个', placeholder: '一次添加多个词, 每行一个',
          oninput: (e) => { bulk = e.target.value; } }),
        el('select', { 'aria-label': '这些词的匹配方式', onchange: (e) => { bulkMode = e.target.value; } },
          MODES.map((m) => el('option', { value: m.value, text: m.label }))),
        el('button', { type: 'button', class: 'plain', text: '加入列表', onclick: () => {
          t.words = t.words.filter((w) => w.text.trim());
          for (const text of lines(bulk)) t.words.push({ text, mode: bulkMode });
          redraw();
        } })),
      el('div', { class: 'row heading', text: '例外 (含有这些内容的消息不算)' }),
      el('div', { class: 'row' }, el('textarea', { 'aria-label': '例外, 每行一个', class: 'allow',
        oninput: (e) => { t.allow = lines(e.target.value); } }, t.allow.join('\n'))),
    ];
  }

  function windowForm(t, what, unitWord) {
    return [el('div', { class: 'row' },
      numberBox('时间 (秒)', t.seconds, (v) => { t.seconds = v; }), el('span', { text: ' 秒内' + what }),
      numberBox(unitWord + '数', t.count, (v) => { t.count = v; }), el('span', { text: unitWord }))];
  }

  function triggerForm(t, redraw) {
    switch (t.kind) {
      case 'words': return wordsForm(t, redraw);
      case 'flood': return [...windowForm(t, ', 一个成员发言超过 ', '条'),
        el('div', { class: 'row note', text: '例: 10 秒内超过 10 条。' })];
      case 'repeat': return windowForm(t, ', 一个成员把同一内容发了 ', '次');
      case 'raid': return [...windowForm(t, ', 同一内容由不同成员发了 ', '人'),
        el('div', { class: 'row note', text: '多个号轮流刷同一条广告时用它。' })];
      case 'mentions': return [
        el('div', { class: 'row' }, el('span', { text: '一条消息 @ 了超过 ' }),
          numberBox('人数', t.count, (v) => { t.count = v; }), el('span', { text: '人' })),
        el('div', { class: 'row' }, check('非管理员 @全体成员', t.everyone, (v) => { t.everyone = v; })),
      ];
      case 'links': return [
        el('div', { class: 'row' }, check('网址链接', t.urls, (v) => { t.urls = v; })),
        el('div', { class: 'row' }, el('textarea', { class: 'allow', 'aria-label': '允许的网站, 每行一个域名, 如 qq.com',
          placeholder: '允许的网站, 每行一个域名, 如 qq.com',
          oninput: (e) => { t.allowDomains = lines(e.target.value); } }, (t.allowDomains || []).join('\n'))),
        el('div', { class: 'row' }, check('写在消息里的QQ号或群号', t.numbers, (v) => { t.numbers = v; })),
        el('div', { class: 'row' }, check('分享的卡片 (小程序、群邀请等)', t.cards, (v) => { t.cards = v; })),
      ];
      default: return [];
    }
  }

  // Fresh trigger values when the kind changes; what was typed for the old kind is dropped.
  function freshTrigger(kind) {
    switch (kind) {
      case 'words': return { kind, words: [{ text: '', mode: 'contains' }], allow: [] };
      case 'flood': return { kind, count: 10, seconds: 10 };
      case 'repeat': return { kind, count: 3, seconds: 60 };
      case 'raid': return { kind, count: 5, seconds: 60 };
      case 'mentions': return { kind, count: 10, everyone: true };
      default: return { kind: 'links', urls: true, allowDomains: [], numbers: false, cards: true };
    }
  }
  function freshAction(kind) {
    if (kind === 'warn') return { kind, text: '[昵称] 请勿发送违规内容' };
    if (kind === 'points') return { kind, count: 1 };
    if (kind === 'mute') return { kind, seconds: 600 };
    return { kind };
  }

  function actionRow(actions, a, i, redraw, canRecall) {
    const n = '第 ' + (i + 1) + ' 个动作';
    let detail = null;
    if (a.kind === 'warn') {
      const box = el('input', { type: 'text', class: 'wider', value: a.text || '', 'aria-label': n + '的警告内容',
        oninput: (e) => { a.text = e.target.value; } });
      // Types the variable at the caret, as the other pages' variable buttons do.
      const insert = (v) => {
        const at = box.selectionStart ?? box.value.length;
        box.value = box.value.slice(0, at) + v + box.value.slice(box.selectionEnd ?? at);
        a.text = box.value;
        box.focus();
        box.selectionStart = box.selectionEnd = at + v.length;
      };
      detail = el('span', { class: 'warn-text' }, box,
        el('button', { type: 'button', class: 'plain', text: '[昵称]', 'aria-label': '在' + n + '的警告内容里插入 [昵称]',
          onclick: () => insert('[昵称]') }));
    } else if (a.kind === 'points') {
      detail = el('span', {}, numberBox(n + '的警告点数', a.count, (v) => { a.count = v; }), ' 点');
    } else if (a.kind === 'mute') {
      detail = durationBox(n + '的禁言时长', a.seconds, (v) => { a.seconds = v; });
    }
    return el('li', { class: 'row action-row' },
      el('span', { class: 'step-no', text: (i + 1) + '.' }),
      el('select', { 'aria-label': n, onchange: (e) => { actions[i] = freshAction(e.target.value); redraw(); } },
        ACTIONS.map((x) => el('option', {
          value: x.value, selected: x.value === a.kind,
          disabled: x.value === 'recall' && !canRecall,
          text: x.label + (x.value === 'recall' && !canRecall ? ' (这个宿主不能撤回)' : ''),
        }))),
      detail,
      el('button', { type: 'button', class: 'plain', text: '上移', disabled: i === 0, 'aria-label': '上移' + n,
        onclick: () => { [actions[i - 1], actions[i]] = [actions[i], actions[i - 1]]; redraw(); } }),
      el('button', { type: 'button', class: 'plain', text: '删除', 'aria-label': '删除' + n,
        onclick: () => { actions.splice(i, 1); redraw(); } }));
  }

  function ruleForm(rule) {
    const d = automod.data;
    const form = el('form', { class: 'automod-form', 'aria-label': rule.id ? '编辑规则' : '添加规则' });
    const redraw = () => { const keep = window.scrollY; form.replaceChildren(...formBody().filter(Boolean)); window.scrollTo(0, keep); };
    const selectedGroups = () => (rule.groups === 'all' ? [] : rule.groups);
    const broken = rule.id && (d.broken || []).find((b) => b.id === rule.id);
    function formBody() {
      return [
        el('h3', { text: rule.id ? '编辑规则「' + (automod.data.rules.find((r) => r.id === rule.id)?.name || '') + '」' : '添加规则' }),
        // What the unreadable section said, to copy from while filling the form in again.
        broken ? el('details', { class: 'rule-broken-text', open: true },
          el('summary', { text: '文件里读不了的原文 (' + (broken.reason || '内容有错') + '), 保存后被这里填写的规则替换' }),
          el('pre', { text: broken.text })) : null,
        el('div', { class: 'row' }, el('label', {}, '名称 ', el('input', {
          type: 'text', class: 'wide', id: 'rule-name', value: rule.name, oninput: (e) => { rule.name = e.target.value; },
        })), el('label', {}, '状态 ', el('select', { id: 'rule-state', onchange: (e) => { rule.state = e.target.value; } },
          STATES.map((s) => el('option', { value: s.value, text: s.label, selected: s.value === rule.state }))))),
        el('fieldset', {}, el('legend', { text: '适用的群' }),
          el('div', { class: 'row' },
            el('label', {}, el('input', { type: 'radio', name: 'rule-groups', checked: rule.groups === 'all',
              onchange: () => { rule.groups = 'all'; redraw(); } }), ' 所有监控的群'),
            el('label', {}, el('input', { type: 'radio', name: 'rule-groups', checked: rule.groups !== 'all',
              onchange: () => { rule.groups = []; redraw(); } }), ' 选定的群')),
          rule.groups === 'all' ? null : el('div', { class: 'rule-groups' }, d.groups.length
            ? d.groups.map((g) => check(g.group + ' ' + g.name, selectedGroups().map(String).includes(String(g.group)), (on) => {
              const now = selectedGroups().filter((x) => String(x) !== String(g.group));
              rule.groups = on ? [...now, Number(g.group)] : now;
            }))
            : el('span', { class: 'hint', text: '群列表是空的: 先在 群设置 里刷新群列表' }))),
        el('fieldset', {}, el('legend', { text: '触发条件' }),
          el('div', { class: 'row' }, el('label', {}, '类型 ', el('select', {
            id: 'rule-trigger', onchange: (e) => { rule.trigger = freshTrigger(e.target.value); redraw(); },
          }, TRIGGERS.map((t) => el('option', { value: t.value, text: t.label, selected: t.value === rule.trigger.kind }))))),
          ...triggerForm(rule.trigger, redraw),
          el('div', { class: 'row' },
            check('只对新成员: 入群不满', rule.newcomerDays > 0, (on) => { rule.newcomerDays = on ? 7 : 0; redraw(); }),
            rule.newcomerDays ? el('span', {}, numberBox('新成员的天数', rule.newcomerDays, (v) => { rule.newcomerDays = v; }), ' 天') : null)),
        el('fieldset', {}, el('legend', { text: '依次执行的动作' }),
          el('ol', { class: 'action-chain' }, rule.actions.map((a, i) => actionRow(rule.actions, a, i, redraw, d.canRecall))),
          el('div', { class: 'row' }, el('button', { type: 'button', class: 'plain', text: '添加动作',
            onclick: () => { rule.actions.push(freshAction('warn')); redraw(); } })),
          d.canRecall ? null : el('div', { class: 'row note', text: '这个宿主没有撤回消息的接口: 撤回动作不可用, 其余动作照常。' }),
          rule.actions.some((a) => a.kind === 'report') && !d.reportGroup
            ? el('div', { class: 'row hint', id: 'rule-no-report-group', text: '还没有选择报告群: 报告不会发出。请在规则列表下面的「报告群」里选择。' })
            : null,
          el('div', { class: 'row note' }, '警告内容里 [昵称] 会 @ 该成员, [时间] 是当时的日期时间 ',
            el('button', { type: 'button', class: 'plain', text: '更多', 'aria-label': '更多消息变量',
              onclick: () => window.open('/help.html') }))),
        automod.error ? el('p', { class: 'error', role: 'alert', id: 'rule-error', text: automod.error }) : null,
        el('div', { class: 'row' },
          el('button', { type: 'submit', id: 'rule-save', text: '保存' }),
          // The rule as the form holds it, not saved, tried on the kept messages (试一试历史).
          typeof tryRuleOnHistory === 'function' ? el('button', {
            type: 'button', class: 'plain', id: 'rule-try-history', text: '在历史消息上试一试',
            onclick: () => {
              // A rule not yet added has no id; the try needs one to name its cases.
              const draft = { ...structuredClone(rule), id: rule.id || 'draft', name: rule.name.trim() };
              if (draft.trigger.kind === 'words') draft.trigger.words = draft.trigger.words.filter((w) => w.text.trim());
              tryRuleOnHistory(draft);
            },
          }) : null,
          el('button', { type: 'button', class: 'plain', text: '取消',
            onclick: () => { automod.editing = null; automod.error = ''; automod.redraw(); } })),
      ];
    }
    form.addEventListener('submit', async (e) => {
      e.preventDefault();
      const before = rule.id ? automod.editingBase : undefined;
      const body = { rule: { ...rule, name: rule.name.trim() } };
      if (rule.trigger.kind === 'words') body.rule.trigger.words = rule.trigger.words.filter((w) => w.text.trim());
      if (before) body.before = before;
      const done = () => { automod.editing = null; };
      await send('/api/automod/rules/save', body, done, done);
    });
    form.replaceChildren(...formBody().filter(Boolean));
    return form;
  }

  // ---- 警告阶梯 ----

  function ladderTab(box) {
    const d = automod.data;
    if (!automod.ladder) {
      automod.ladder = structuredClone(d.ladder);
      automod.ladderBase = structuredClone(d.ladder);  // what the draft started from
    }
    const ladder = automod.ladder;
    const redraw = () => ladderTab(box);
    const steps = ladder.steps.map((s, i) => {
      const n = '第 ' + (i + 1) + ' 级';
      return el('li', { class: 'row ladder-step' },
        el('span', { class: 'step-no', text: (i + 1) + '.' }), el('span', { text: '达到' }), numberBox(n + '的警告点数', s.points, (v) => { s.points = v; }), el('span', { text: '点:' }),
        el('select', { 'aria-label': n + '的处罚', onchange: (e) => {
          s.action = e.target.value;
          if (s.action === 'mute' && !s.seconds) s.seconds = 600;
          if (s.action !== 'mute') delete s.seconds;
          redraw();
        } }, LADDER_ACTIONS.map((a) => el('option', { value: a.value, text: a.label, selected: a.value === s.action }))),
        s.action === 'mute' ? durationBox(n + '的禁言时长', s.seconds, (v) => { s.seconds = v; }) : null,
        el('button', { type: 'button', class: 'plain', text: '删除', 'aria-label': '删除' + n,
          onclick: () => { ladder.steps.splice(i, 1); redraw(); } }));
    });
    box.replaceChildren(el('form', {
      class: 'automod-ladder', 'aria-label': '警告阶梯',
      onsubmit: async (e) => {
        e.preventDefault();
        const done = () => { automod.ladder = null; };
        await send('/api/automod/ladder', { ladder, before: automod.ladderBase }, done, done);
      },
    },
    el('p', { class: 'note-text', text: '规则的「加警告点」动作给成员记点。成员在一个群里持有的点数达到某一级, 就受那一级的处罚; ' +
      '超过下面天数的点不再计算, 处罚也就随时间减轻。' }),
    el('div', { class: 'row' }, el('span', { text: '警告点' }),
      numberBox('警告点计算的天数', ladder.days, (v) => { ladder.days = v; }, { id: 'ladder-days' }), el('span', { text: '天后不再计算' })),
    el('ol', { class: 'ladder-steps' }, steps),
    ladder.steps.length ? null : el('p', { class: 'placeholder', text: '没有阶梯: 警告点只记录, 不处罚。' }),
    el('div', { class: 'row' }, el('button', { type: 'button', class: 'plain', text: '添加一级', onclick: () => {
      const last = ladder.steps[ladder.steps.length - 1];
      ladder.steps.push({ points: (Number(last?.points) || 0) + 1, action: 'warn' });
      redraw();
    } })),
    automod.error ? el('p', { class: 'error', role: 'alert', id: 'ladder-error', text: automod.error }) : null,
    el('div', { class: 'row' },
      el('button', { type: 'submit', id: 'ladder-save', text: '保存' }),
      el('button', { type: 'button', class: 'plain', text: '还原', onclick: () => {
        automod.ladder = null; automod.error = ''; redraw();
      } }))));
  }

  const own = { 规则: rulesTab, 警告阶梯: ladderTab };

  async function drawTab(main, title) {
    const tabs = el('div', { class: 'tabs', role: 'tablist', 'aria-label': PAGE });
    for (const t of TABS) {
      tabs.append(el('button', {
        type: 'button', role: 'tab', text: t, 'aria-selected': String(t === automod.tab),
        onclick: () => {
          if (automod.tab !== t) automod.error = '';
          automod.tab = t;
          drawTab(main, title);
        },
      }));
    }
    const mine = el('div', { class: 'automod-own' });
    const panel = el('div', { class: 'automod-panel', role: 'tabpanel', 'aria-label': automod.tab }, mine);
    main.replaceChildren(title, tabs, panel);
    if (own[automod.tab]) {
      if (!automod.data) {
        mine.append(el('p', { class: 'placeholder', text: '正在读取…' }));
        const res = await load();
        if (state.page !== PAGE) return;
        if (!res.ok) {
          mine.replaceChildren(el('p', { class: 'error', text: res.data.error || '读取失败' }));
          return;
        }
      }
      own[automod.tab](mine);
    }
    const more = extrasFor(PAGE + '/' + automod.tab);
    // A tab whose script is not part of this build says so instead of showing nothing.
    if (!own[automod.tab] && !more.length) more.push(el('p', { class: 'placeholder', text: '这一页还不能在面板里设置。' }));
    panel.append(...more);
  }

  // Drawn afresh from the service each time the page is opened.
  registerPage(PAGE, (main, title) => {
    if (!automod.editing) automod.data = null;
    automod.redraw = () => drawTab(main, title);
    return drawTab(main, title);
  });
})();
