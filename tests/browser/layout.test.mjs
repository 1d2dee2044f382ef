// Browser tests of how the panel reads: every page on a phone (390 × 844) with
// its navigation in a menu, every control named for a screen reader (on the
// desktop and on the phone), and the small texts that had read wrongly.
//   node layout.test.mjs PROGRAM [SCREENSHOT_DIR]
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, openPanel, shots } from './harness.mjs';

const PHONE = { width: 390, height: 844 };
const { base, panel, browser, page: desk, consoleErrors, login, close } = await openPanel();

// The roles of the controls a screen reader must be able to name.
const CONTROL_ROLES = new Set(['textbox', 'searchbox', 'checkbox', 'radio', 'button', 'combobox', 'listbox',
  'spinbutton', 'slider', 'switch', 'tab', 'menuitemcheckbox', 'menuitemradio']);

// The controls of the page as Chromium's accessibility tree holds them (what a
// screen reader is given): those without a name, and how many there are.
async function unnamedControls(page) {
  const cdp = await page.context().newCDPSession(page);
  try {
    const { nodes } = await cdp.send('Accessibility.getFullAXTree');
    const controls = nodes.filter((n) => !n.ignored && CONTROL_ROLES.has(n.role?.value));
    const unnamed = [];
    for (const n of controls) {
      if ((n.name?.value || '').trim()) continue;
      const { node } = await cdp.send('DOM.describeNode', { backendNodeId: n.backendDOMNodeId });
      const attrs = {};
      for (let i = 0; i + 1 < (node.attributes || []).length; i += 2) attrs[node.attributes[i]] = node.attributes[i + 1];
      unnamed.push(`<${node.localName}${['type', 'id', 'data-name'].filter((k) => k in attrs).map((k) => ` ${k}="${attrs[k]}"`).join('')}> (${n.role.value})`);
    }
    // The tree must hold every visible control of the page, or the walk proves nothing.
    const visible = await page.evaluate(() => [...document.querySelectorAll('input, textarea, select, button')]
      .filter((e) => e.checkVisibility({ visibilityProperty: true })).length);
    assert.ok(controls.length >= visible, `the accessibility tree holds ${controls.length} controls, the page shows ${visible}`);
    return { unnamed, count: controls.length };
  } finally {
    await cdp.detach();
  }
}

// Waits until page `name` (and its inner tab) is drawn and its lists are read.
async function settle(page, name) {
  await page.locator('#page h2', { hasText: name }).waitFor();
  await page.waitForFunction(() => !document.querySelector('#page')?.textContent.includes('正在读取'), null, { timeout: 5000 });
  await page.waitForTimeout(250);
}

// Every page of the navigation and every inner tab of it, in order: `visit(page, tab)`.
async function walk(page, open, visit) {
  const names = await page.locator('#pages a').allTextContents();
  assert.equal(names.length, 10);
  for (const name of names) {
    await open(name);
    await settle(page, name);
    const tabs = await page.locator('#page .tabs button').allTextContents();
    if (!tabs.length) await visit(name, '');
    for (const tab of tabs) {
      await page.locator('#page .tabs button', { hasText: tab }).first().click();
      await page.locator('#page .tabs button[aria-selected="true"]', { hasText: tab }).first().waitFor();
      await settle(page, name);
      await visit(name, tab);
    }
  }
  return names;
}

const shotName = (prefix, name, tab) => path.join(shots, `${prefix}-${name}${tab && tab !== name ? '-' + tab.replaceAll('/', '_') : ''}.png`);

// What sticks out at the right of a 390 px window: the page's widths and the
// visible things reaching past the window that are not inside a box of their own that scrolls.
function overflow() {
  const page = document.getElementById('page');
  const scrollsItself = (e) => {
    for (let a = e.parentElement; a && a !== page; a = a.parentElement) {
      if (['auto', 'scroll'].includes(getComputedStyle(a).overflowX)) return true;
    }
    return false;
  };
  const cut = [];
  for (const e of document.querySelectorAll('#app *')) {
    if (!e.checkVisibility({ visibilityProperty: true }) || e.closest('#nav')) continue;
    const r = e.getBoundingClientRect();
    if (r.width && r.right > innerWidth + 0.5 && !scrollsItself(e)) cut.push(`${e.localName}${e.id ? '#' + e.id : ''}.${e.className} right ${Math.round(r.right)}`);
  }
  // Tab buttons keep their title on one line.
  const wrapped = [...document.querySelectorAll('#page .tabs button')].filter((b) => {
    const range = document.createRange();
    range.selectNodeContents(b);
    return range.getClientRects().length > 1;
  }).map((b) => b.textContent);
  return {
    innerWidth, scrollWidth: document.documentElement.scrollWidth,
    main: page.clientWidth, mainContent: page.scrollWidth, cut: cut.slice(0, 8), wrapped,
  };
}

try {
  await login();

  await check('the desktop layout keeps its 168 px navigation column and no menu button', async () => {
    await desk.goto(base + '#功能状态');
    await settle(desk, '功能状态');
    const nav = await desk.locator('#nav').boundingBox();
    assert.equal(nav.width, 168);
    assert.equal((await desk.locator('#page').boundingBox()).x, 168);
    assert.equal(await desk.locator('#menu-button').isVisible(), false);
  });

  await check('on the desktop every visible control of every page and tab has an accessible name', async () => {
    const missing = [];
    let total = 0;
    await walk(desk, (name) => desk.goto(base + '#' + encodeURIComponent(name)), async (name, tab) => {
      const { unnamed, count } = await unnamedControls(desk);
      total += count;
      for (const u of unnamed) missing.push(`${name}${tab ? '/' + tab : ''}: ${u}`);
    });
    console.log(`     ${total} controls seen on the desktop`);
    assert.deepEqual(missing, []);
  });

  // ---- the phone

  const phone = await browser.newContext({ viewport: PHONE, locale: 'zh-CN' });
  const mobile = await phone.newPage();
  mobile.on('pageerror', (e) => consoleErrors.push(String(e)));
  await mobile.goto(panel.loginUrl);
  await mobile.locator('#pages a').first().waitFor({ state: 'attached' });

  await check('at 390 px the navigation is a menu: the button opens it, a page chosen there opens and closes it', async () => {
    await settle(mobile, '功能状态');
    assert.equal(await mobile.locator('#pages a').first().isVisible(), false);
    const button = mobile.locator('#menu-button');
    assert.equal(await button.isVisible(), true);
    assert.equal(await button.getAttribute('aria-expanded'), 'false');
    await button.click();
    await mobile.locator('#pages a', { hasText: '群设置' }).waitFor({ state: 'visible' });
    assert.equal(await button.getAttribute('aria-expanded'), 'true');
    await mobile.waitForTimeout(300);  // the drawer slides in
    await mobile.screenshot({ path: path.join(shots, 'phone-菜单.png') });
    await mobile.locator('#pages a', { hasText: '群设置' }).click();
    await settle(mobile, '群设置');
    assert.equal(decodeURIComponent(new URL(mobile.url()).hash), '#群设置');
    await mobile.locator('#pages a').first().waitFor({ state: 'hidden' });
    assert.equal(await button.getAttribute('aria-expanded'), 'false');
    // Tab stays out of the page behind the drawer (群设置's buttons and boxes);
    // Escape closes it too, and so does a tap beside it.
    await button.click();
    await mobile.locator('#pages a').first().waitFor({ state: 'visible' });
    for (let i = 0; i < 20; i++) {
      await mobile.keyboard.press('Tab');
      assert.equal(await mobile.evaluate(() => !!document.activeElement?.closest('#page, #status-strip')), false,
        'Tab reached the page behind the open menu');
    }
    await mobile.keyboard.press('Escape');
    await mobile.locator('#pages a').first().waitFor({ state: 'hidden' });
    await button.click();
    await mobile.locator('#pages a').first().waitFor({ state: 'visible' });
    await mobile.mouse.click(PHONE.width - 20, PHONE.height / 2);
    await mobile.locator('#pages a').first().waitFor({ state: 'hidden' });
  });

  await check('at 390 px no page or tab is wider than the window, tabs stay on one line, every control is named', async () => {
    const problems = [];
    const widths = [];
    let total = 0;
    const open = async (name) => {
      // (Without a menu, as before it, the pages are still measured: by their address.)
      if (!(await mobile.locator('#menu-button').isVisible())) return mobile.goto(base + '#' + encodeURIComponent(name));
      await mobile.locator('#menu-button').click();
      await mobile.locator('#pages a', { hasText: name }).first().click();
      await mobile.locator('#pages a').first().waitFor({ state: 'hidden' });
    };
    await walk(mobile, open, async (name, tab) => {
      const where = name + (tab ? '/' + tab : '');
      const o = await mobile.evaluate(overflow);
      widths.push(`${where} ${o.scrollWidth}/${o.innerWidth} (main ${o.mainContent}/${o.main})`);
      if (o.innerWidth !== PHONE.width) problems.push(`${where}: the window is ${o.innerWidth} px wide`);
      if (o.scrollWidth > o.innerWidth) problems.push(`${where}: the page is ${o.scrollWidth} px wide`);
      if (o.mainContent > o.main) problems.push(`${where}: the main area holds ${o.mainContent} px in ${o.main} px`);
      for (const c of o.cut) problems.push(`${where}: cut at the right: ${c}`);
      for (const w of o.wrapped) problems.push(`${where}: the tab ${w} wraps`);
      const { unnamed, count } = await unnamedControls(mobile);
      total += count;
      for (const u of unnamed) problems.push(`${where}: no accessible name: ${u}`);
      await mobile.evaluate(() => scrollTo(0, 0));  // the menu bar stays at the top of the picture
      await mobile.screenshot({ path: shotName('phone', name, tab), fullPage: true });
    });
    console.log('     widths at 390 px (page/window, main content/main):\n       ' + widths.join('\n       '));
    console.log(`     ${total} controls seen at 390 px`);
    assert.deepEqual(problems, []);
  });

  // The rule form of 自动管理 is drawn by the owner's choices: every trigger's
  // fields, chosen groups, the newcomer days and every kind of action.
  async function eachRuleForm(page, visit) {
    await page.goto(base + '#自动管理');
    await settle(page, '自动管理');
    await page.locator('#page .tabs button', { hasText: '规则' }).click();
    await page.locator('#automod-add').click();
    await page.locator('#rule-name').waitFor();
    await page.getByLabel('选定的群').check();
    await page.getByLabel('只对新成员: 入群不满').check();
    const kinds = ['recall', 'warn', 'points', 'mute', 'kick', 'kickBlacklist', 'report'];
    for (let i = 1; i < kinds.length; i++) await page.getByRole('button', { name: '添加动作' }).click();
    for (const [i, kind] of kinds.entries()) await page.getByLabel(`第 ${i + 1} 个动作`, { exact: true }).selectOption(kind);
    for (const trigger of await page.locator('#rule-trigger option').evaluateAll((os) => os.map((o) => o.value))) {
      await page.selectOption('#rule-trigger', trigger);
      await visit(trigger);
    }
    await page.getByRole('button', { name: '取消' }).click();
  }

  await check('自动管理: every form of a rule is named and fits at 390 px and on the desktop', async () => {
    const problems = [];
    await eachRuleForm(mobile, async (trigger) => {
      const o = await mobile.evaluate(overflow);
      if (o.scrollWidth > o.innerWidth) problems.push(`${trigger}: the page is ${o.scrollWidth} px wide`);
      for (const c of o.cut) problems.push(`${trigger}: cut at the right: ${c}`);
      for (const u of (await unnamedControls(mobile)).unnamed) problems.push(`${trigger} at 390 px: no accessible name: ${u}`);
      await mobile.evaluate(() => scrollTo(0, 0));
      await mobile.screenshot({ path: path.join(shots, `phone-自动管理-规则-${trigger}.png`), fullPage: true });
    });
    await eachRuleForm(desk, async (trigger) => {
      for (const u of (await unnamedControls(desk)).unnamed) problems.push(`${trigger} on the desktop: no accessible name: ${u}`);
    });
    assert.deepEqual(problems, []);
  });

  await check('at 390 px the help page of the variables fits the window', async () => {
    await mobile.goto(base + 'help.html');
    await mobile.locator('h1').waitFor();
    const widths = await mobile.evaluate(() => [document.documentElement.scrollWidth, innerWidth]);
    assert.ok(widths[0] <= widths[1], `the help page is ${widths[0]} px wide in ${widths[1]} px`);
    await mobile.screenshot({ path: path.join(shots, 'phone-帮助.png'), fullPage: true });
  });

  // The box around `table` that scrolls sideways (not the page's main area), with its widths.
  const scrollBox = (table) => table.evaluate((t) => {
    let b = t.parentElement;
    while (b && !['auto', 'scroll'].includes(getComputedStyle(b).overflowX)) b = b.parentElement;
    return b && b.id !== 'page' ? { client: b.clientWidth, scroll: b.scrollWidth, table: t.offsetWidth } : null;
  });

  await check('at 390 px a table wider than the screen scrolls inside its own box; the group list keeps its columns', async () => {
    await mobile.goto(base + '#群设置');
    await settle(mobile, '群设置');
    assert.ok(await scrollBox(mobile.locator('#page table').first()), 'the group list sits in a box that scrolls sideways');
    for (const column of ['权限', '初始化状态']) {
      const head = mobile.locator('#page th', { hasText: column });
      await head.scrollIntoViewIfNeeded();
      const r = await head.boundingBox();
      assert.ok(r.x >= 0 && r.x + r.width <= PHONE.width, `${column} comes into view: ${JSON.stringify(r)}`);
    }
    await mobile.goto(base + '#更多功能');
    await settle(mobile, '更多功能');
    await mobile.locator('.tabs button', { hasText: '关键词回复' }).click();
    const table = mobile.locator('table[data-list="超级列表框_回复关键词"]');
    await table.waitFor();
    const box = await scrollBox(table);
    assert.ok(box && box.table > box.client && box.scroll > box.client, JSON.stringify(box));
    const last = table.locator('th').last();
    assert.ok((await last.boundingBox()).x + 10 > PHONE.width, 'the last column starts off screen');
    await last.scrollIntoViewIfNeeded();
    const r = await last.boundingBox();
    assert.ok(r.x >= 0 && r.x + r.width <= PHONE.width, `the last column comes into view: ${JSON.stringify(r)}`);
    assert.ok(await mobile.evaluate(() => document.documentElement.scrollWidth <= innerWidth));
    await mobile.screenshot({ path: path.join(shots, 'phone-关键词回复-右移.png'), fullPage: true });
  });

  // ---- the small texts

  await check('广告检测 says the keywords are separated by "+", beside the box and in its name', async () => {
    await desk.goto(base + '#广告检测');
    await settle(desk, '广告检测');
    const row = desk.locator('.row', { has: desk.locator('input[data-name="选择框_踢关键词"]') });
    assert.match(await row.textContent(), /用 \+ 分割/);
    const area = desk.locator('textarea[data-name="编辑框_踢人关键词"]');
    assert.match(await area.getAttribute('aria-label'), /\+/);
  });

  await check('a wrong login link opens the login page with its reason, not a JSON answer', async () => {
    const guest = await browser.newContext({ viewport: PHONE, locale: 'zh-CN' });
    const p = await guest.newPage();
    const answer = await p.goto(base + 'login?token=0123456789abcdef');
    assert.equal(answer.status(), 401);
    assert.match(answer.headers()['content-type'], /text\/html/);
    await p.locator('#login-error', { hasText: '登录令牌不正确' }).waitFor();
    assert.equal(await p.locator('#login-token').isVisible(), true);
    assert.doesNotMatch(await p.locator('body').innerText(), /"error"/);
    assert.equal(new URL(p.url()).pathname, '/');  // the bad token leaves the address bar
    assert.deepEqual((await unnamedControls(p)).unnamed, []);
    assert.ok(await p.evaluate(() => document.documentElement.scrollWidth <= innerWidth));
    await p.screenshot({ path: path.join(shots, 'phone-登录-错误链接.png') });
    await p.fill('#login-token', panel.loginUrl.split('token=')[1]);
    await p.click('#login-form button');
    await p.locator('#pages a').first().waitFor({ state: 'attached' });
    await guest.close();
  });

  await check('ticking 开启群人数控制 shows 现有人数 at once, without a reload', async () => {
    await desk.goto(base + '#更多功能');
    await settle(desk, '更多功能');
    await desk.click('.tabs button:text-is("人数控制")');
    const rows = desk.locator('#limit-list tbody tr[data-key]');
    await rows.first().waitFor();
    const current = () => desk.$$eval('#limit-list tbody tr[data-key]', (trs) => trs.map((tr) => tr.cells[2].textContent));
    assert.ok((await current()).every((c) => c === ''), 'empty while the control is off');
    await desk.locator('input[data-name="选择框_开启群人数控制"]').check();
    await desk.waitForFunction(() => {
      const trs = [...document.querySelectorAll('#limit-list tbody tr[data-key]')];
      return trs.length && trs.every((tr) => /^[0-9]+$/.test(tr.cells[2].textContent));
    }, null, { timeout: 3000 });
    await desk.screenshot({ path: path.join(shots, 'layout-人数控制-现有人数.png'), fullPage: true });
  });

  await check('offline, a ticked group says the account is not connected rather than that fetching failed', async () => {
    await desk.goto(base + '#群设置');
    await settle(desk, '群设置');
    await desk.locator('input[data-row="5"]').check();
    const status = desk.locator('#page tbody tr').nth(5).locator('td').last();
    // The fetch runs after the tick; the list shows its outcome when drawn again.
    let text = '';
    for (let i = 0; i < 30 && !/失败|未连接/.test(text); i++) {
      await desk.waitForTimeout(100);
      await desk.goto(base + '#功能状态');
      await desk.goto(base + '#群设置');
      await settle(desk, '群设置');
      text = await status.textContent();
    }
    assert.match(text, /账号未连接/);
    assert.doesNotMatch(text, /失败/);
  });

  await check('no script error in the console', async () => {
    assert.deepEqual(consoleErrors, []);
  });
} finally {
  await close();
}

finish();
