'use strict';
// The list pages: the buttons of 群设置, the three account lists of 名单设置,
// the invite list of 邀请统计, the welcome list of 进群欢迎 and the limit list
// of 更多功能/人数控制. Rows are ticked here and the actions name their rows by
// account or group number, so a list refilled meanwhile cannot be hit wrongly.
// Its names stay inside this function: the other page scripts share the global scope.
(() => {
  // Ticked rows survive the page being drawn again (every option change redraws it).
  const listTicks = { 管理员: new Set(), 白名单: new Set(), 黑名单: new Set(), welcome: new Set(), limits: new Set() };

  // A list as a table: `key` is the column that names a row; with `ticks` every
  // row gets a tick box (in its first shown cell) and the header one for all/none.
  function listTable(data, { key, ticks, shown, id }) {
    const columns = shown ? shown.map((i) => data.columns[i]) : data.columns;
    const cellsOf = (r) => (shown ? shown.map((i) => r.cells[i]) : r.cells);
    const keys = data.rows.map((r) => r.cells[key]);
    for (const k of [...(ticks || [])]) if (!keys.includes(k)) ticks.delete(k);
    const boxes = [];
    const all = ticks && el('input', {
      type: 'checkbox', 'aria-label': '全选', class: 'tick-all', checked: keys.length > 0 && keys.every((k) => ticks.has(k)),
      onchange: (e) => {
        const tick = e.target.checked;  // each row's handler sets the header box again
        for (const box of boxes) { box.checked = tick; box.dispatchEvent(new Event('change')); }
      },
    });
    const head = el('tr', {}, columns.map((c, i) => el('th', {}, i === 0 && all ? [all, ' ', c] : c)));
    const body = data.rows.map((r) => {
      const k = r.cells[key];
      const cells = cellsOf(r);
      const first = ticks ? el('input', {
        type: 'checkbox', 'data-key': k, 'aria-label': k, checked: ticks.has(k),
        onchange: (e) => {
          if (e.target.checked) ticks.add(k); else ticks.delete(k);
          all.checked = keys.length > 0 && keys.every((x) => ticks.has(x));
        },
      }) : null;
      if (first) boxes.push(first);
      return el('tr', { 'data-key': k }, cells.map((c, i) => el('td', {}, i === 0 && first ? [first, ' ', c] : c)));
    });
    const empty = data.rows.length ? null : el('tr', {}, el('td', { colspan: String(columns.length), class: 'empty', text: '（空）' }));
    return el('table', { class: 'log list', id }, el('thead', {}, head), el('tbody', {}, body, empty));
  }

  // Runs an action button: disabled while it runs; a refusal is shown as a dialog.
  async function act(button, method, path, body) {
    button.disabled = true;
    try {
      const res = await api(method, path, body);
      if (!res.ok && !res.data.question) await ask(res.data.error || '操作失败');
      return res;
    } finally {
      button.disabled = false;
    }
  }

  // ---- 群设置: the two refresh buttons, above the group list.

  let membersRefreshing = false;
  let membersTimer = 0;

  function followMembersRefresh() {
    if (membersTimer) return;
    membersTimer = setInterval(async () => {
      const res = await api('GET', '/api/groups/refresh-members');
      const running = res.ok && res.data.running;
      if (!running) { clearInterval(membersTimer); membersTimer = 0; }
      membersRefreshing = running;
      if (state.page === '群设置') render();  // the status column moves on
    }, 1000);
  }

  registerExtra('群设置', '', () => {
    const said = el('span', { class: 'saved', id: 'refresh-said' });
    const list = el('button', { type: 'button', id: 'refresh-groups', text: '刷新群列表' });
    const members = el('button', { type: 'button', id: 'refresh-members', text: '重新初始化勾选的失败群', disabled: membersRefreshing });
    list.addEventListener('click', async () => {
      const res = await act(list, 'POST', '/api/groups/refresh', {});
      if (!res.ok) return;
      await poll();
      render();
    });
    members.addEventListener('click', async () => {
      const res = await act(members, 'POST', '/api/groups/refresh-members', {});
      if (!res.ok) return;
      membersRefreshing = true;
      members.disabled = true;
      said.textContent = '正在获取群成员…';
      followMembersRefresh();
    });
    if (membersRefreshing) said.textContent = '正在获取群成员…';
    else {
      // A run started elsewhere (at startup, by the "勾选" header) disables the button too.
      api('GET', '/api/groups/refresh-members').then((res) => {
        if (!res.ok || !res.data.running) return;
        membersRefreshing = true;
        members.disabled = true;
        said.textContent = '正在获取群成员…';
        followMembersRefresh();
      });
    }
    return el('div', { class: 'row list-buttons' }, list, members, said);
  });

  // ---- 名单设置: inner tabs 管理员, 白名单, 黑名单.

  const accountLists = ['管理员', '白名单', '黑名单'];
  let accountTab = 0;

  async function accountPanel(panel, name) {
    const res = await api('GET', '/api/lists/accounts?list=' + encodeURIComponent(name));
    if (state.page !== '名单设置' || accountLists[accountTab] !== name) return;
    if (!res.ok) { panel.replaceChildren(el('p', { class: 'placeholder', text: res.data.error || '读取失败' })); return; }
    const tableBox = el('div', { class: 'list-scroll' });
    const draw = (data) => tableBox.replaceChildren(listTable(data, { key: 1, ticks: listTicks[name], id: 'list-' + name }));
    draw(res.data);
    const box = el('textarea', { id: 'add-' + name, rows: '3', placeholder: '一行一个QQ号', 'aria-label': 'QQ号:' }, res.data.box);
    const said = el('span', { class: 'saved' });
    const add = el('button', { type: 'button', text: '加入' + name });
    const remove = el('button', { type: 'button', class: 'plain', text: '删除选中的' + name });
    add.addEventListener('click', async () => {
      said.textContent = '';
      const r = await act(add, 'POST', '/api/lists/accounts/add', { list: name, text: box.value });
      if (!r.ok) return;
      box.value = '';
      draw(r.data);
      const parts = [];
      if (r.data.added.length) parts.push('已加入 ' + r.data.added.join('、'));
      if (r.data.skipped.length) parts.push(r.data.skipped.join('、') + ' 已在' + name + '里');
      said.textContent = parts.join('; ');
      if (r.data.failed.length) await ask(r.data.failed.join('、') + ' 加入' + name + '失败 (详见运行日志)');
    });
    remove.addEventListener('click', async () => {
      said.textContent = '';
      const accounts = [...listTicks[name]];
      const r = await act(remove, 'POST', '/api/lists/accounts/remove', { list: name, accounts });
      if (!r.ok) return;
      for (const a of accounts) listTicks[name].delete(a);
      draw(r.data);
    });
    // The blacklist's own option: whether robots on one database share it.
    let shared = null;
    if (name === '黑名单') {
      const page = await api('GET', '/api/page?name=' + encodeURIComponent('名单设置'));
      if (state.page !== '名单设置' || accountLists[accountTab] !== name) return;
      if (page.ok) shared = page.data.groups.map(group);
    }
    panel.replaceChildren(
      ...(shared || []),
      el('div', { class: 'row note', text: res.data.hint }),
      tableBox,
      el('div', { class: 'row add-box' }, el('label', { for: 'add-' + name, text: 'QQ号:' }), box,
        el('div', { class: 'add-buttons' }, add, remove, said)));
  }

  registerPage('名单设置', async (main, title) => {
    const tabs = el('div', { class: 'tabs', role: 'tablist' });
    const panel = el('fieldset', { class: 'tab-panel' });
    const show = (i) => {
      accountTab = i;
      for (const [k, b] of [...tabs.children].entries()) b.setAttribute('aria-selected', String(k === i));
      accountPanel(panel, accountLists[i]);
    };
    accountLists.forEach((name, i) => tabs.append(el('button', { type: 'button', role: 'tab', text: name, onclick: () => show(i) })));
    main.replaceChildren(title, tabs, panel);
    show(accountTab);
  });

  // ---- 邀请统计: the invite list, left of the page's options.

  registerExtra('邀请统计', '', () => {
    const input = el('input', { type: 'text', id: 'invite-filter', class: 'wide', inputmode: 'numeric', 'aria-label': 'QQ号:' });
    const query = el('button', { type: 'button', id: 'invite-query', text: '查询' });
    const tableBox = el('div', { class: 'list-scroll' });
    const draw = (data) => tableBox.replaceChildren(listTable(data, { key: 1, id: 'invite-list-table' }));
    query.addEventListener('click', async () => {
      const r = await act(query, 'POST', '/api/lists/invites', { filter: input.value });
      if (r.ok) draw(r.data);
    });
    input.addEventListener('keydown', (e) => { if (e.key === 'Enter') query.click(); });
    api('GET', '/api/lists/invites').then((res) => {
      if (!res.ok) return;
      input.value = res.data.filter;
      draw(res.data);
    });
    return el('fieldset', { id: 'invite-list' }, el('legend', { text: '邀请名单' }),
      el('div', { class: 'row' }, el('label', { for: 'invite-filter', text: 'QQ号:' }), input, query),
      el('div', { class: 'row note', text: '留空就是显示全部' }), tableBox);
  });

  // ---- 进群欢迎: the welcome list and "设置勾选群欢迎语".

  registerExtra('进群欢迎', '', () => {
    const tableBox = el('div', { class: 'list-scroll' });
    const draw = (data) => tableBox.replaceChildren(listTable(data, { key: 1, ticks: listTicks.welcome, id: 'welcome-list' }));
    const set = el('button', { type: 'button', id: 'set-welcome', text: '设置勾选群欢迎语' });
    let control = '';  // the option box of the text, named by the service
    set.addEventListener('click', async () => {
      const area = control && document.querySelector('textarea[data-name="' + control + '"]');
      const text = area ? area.value : '';
      if (!listTicks.welcome.size) { await ask('请先勾选要设置欢迎语的群'); return; }
      if (!text.trim() && !(await ask('欢迎语为空就是默认当前设置的欢迎语。确定清空勾选群的欢迎语么?', true))) return;
      const r = await act(set, 'POST', '/api/lists/welcome', { groups: [...listTicks.welcome], text });
      if (r.ok) draw(r.data);
    });
    api('GET', '/api/lists/welcome').then((res) => {
      if (!res.ok) return;
      control = res.data.textControl;
      draw(res.data);
    });
    return el('fieldset', { id: 'welcome-box' }, el('legend', { text: '群欢迎语' }),
      el('div', { class: 'row' }, set, el('span', { class: 'note', text: '把上面「设置欢迎语」里的文字设给勾选的群' })), tableBox);
  });

  // ---- 更多功能 / 人数控制: the limit list and "设置勾选群的限制人数".

  registerExtra('更多功能', '人数控制', () => {
    const tableBox = el('div', { class: 'list-scroll' });
    // Columns 群号, 群名称, 现有人数, 限制人数, 踢掉人数 (the row number stays hidden).
    const draw = (data) => tableBox.replaceChildren(listTable(data, { key: 1, ticks: listTicks.limits, shown: [1, 2, 3, 4, 5], id: 'limit-list' }));
    const set = el('button', { type: 'button', id: 'set-limit', text: '设置勾选群的限制人数' });
    let control = '';  // the option box of the limit, named by the service
    set.addEventListener('click', async () => {
      const input = control && document.querySelector('input[data-name="' + control + '"]');
      const body = { groups: [...listTicks.limits], limit: input ? input.value.trim() : '' };
      let r = await act(set, 'POST', '/api/lists/limits', body);
      if (r.status === 409 && r.data.question) {
        if (!(await ask(r.data.question, true))) return;
        r = await act(set, 'POST', '/api/lists/limits', { ...body, confirmed: true });
      }
      if (r.ok) draw(r.data);
    });
    const load = () => api('GET', '/api/lists/limits').then((res) => {
      if (!res.ok) return;
      control = res.data.limitControl;
      draw(res.data);
    });
    load();
    // Switching the control on counts the members (现有人数): show them at once.
    const changed = (e) => {
      if (!tableBox.isConnected) document.removeEventListener('setting-changed', changed);
      else if (e.detail.name === '选择框_开启群人数控制') load();
    };
    document.addEventListener('setting-changed', changed);
    return el('fieldset', { id: 'limit-box' }, el('legend', { text: '群人数' }),
      el('div', { class: 'row' }, set), tableBox);
  });
})();
