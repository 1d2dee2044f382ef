// Browser tests of the settings panel's frame: login, the feature status, the
// option pages, the group ticks and the live run log.
//   node panel.test.mjs PROGRAM [SCREENSHOT_DIR]
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { GREEN, GREY, check, finish, openPanel, shots, statusLabel } from './harness.mjs';

const { data, base, token, context, page, consoleErrors, close } = await openPanel();

try {
  await check('the login form refuses a wrong token and accepts the right one', async () => {
    await page.goto(base);
    await page.locator('#login-token').waitFor();
    await page.screenshot({ path: path.join(shots, '0-登录.png') });
    await page.fill('#login-token', 'wrong');
    await page.click('#login-form button');
    await page.locator('#login-error').filter({ hasText: '登录令牌不正确' }).waitFor();
    await page.fill('#login-token', token);
    await page.click('#login-form button');
    await page.locator('#pages a').first().waitFor();
    const pages = await page.locator('#pages a').allTextContents();
    assert.deepEqual(pages, ['功能状态', '群设置', '名单设置', '邀请统计', '进群欢迎', '广告检测', '自动管理', '运行日志', '更多功能', '试一试']);
    assert.equal(await page.locator('#status-strip .welcome').textContent(), '欢迎使用群管软件');
  });

  await check('twelve listed groups with three ticked show 12 and 3; switches off are grey 已关闭', async () => {
    await page.goto(base + '#功能状态');
    await page.locator('[data-label="总群数:"]').waitFor();
    assert.equal(await page.locator('[data-label="总群数:"]').textContent(), '12');
    assert.equal(await page.locator('[data-label="监控群数:"]').textContent(), '3');
    for (const label of ['邀请查询:', '广告检测:', '定时任务:', '审核进群:', '人数控制:', '关键词回复:']) {
      assert.deepEqual(await statusLabel(page, label), { text: '已关闭', color: GREY }, label);
    }
    assert.deepEqual(await statusLabel(page, '进群欢迎:'), { text: '已开启', color: GREEN });
    await page.screenshot({ path: path.join(shots, '1-功能状态.png') });
  });

  await check('unticking 开启进群欢迎 adds 关闭进群欢迎 and greys its label: all seven are grey 已关闭', async () => {
    await page.goto(base + '#进群欢迎');
    const box = page.locator('input[data-name="选择框_开启进群欢迎"]');
    await box.waitFor();
    assert.equal(await box.isChecked(), true);
    await box.uncheck();
    await page.goto(base + '#运行日志');
    await page.locator('#log-body td', { hasText: '关闭进群欢迎' }).waitFor({ timeout: 3000 });
    await page.goto(base + '#功能状态');
    await page.locator('[data-label="进群欢迎:"]').waitFor();
    for (const label of ['邀请查询:', '进群欢迎:', '广告检测:', '定时任务:', '审核进群:', '人数控制:', '关键词回复:']) {
      assert.deepEqual(await statusLabel(page, label), { text: '已关闭', color: GREY }, label);
    }
    assert.deepEqual(await statusLabel(page, '黑白名单:'), { text: '永久开启', color: GREEN });
  });

  await check('ticking 开启广告检测 turns only 广告检测 green and logs 开启广告检测; the file keeps it', async () => {
    await page.goto(base + '#广告检测');
    const box = page.locator('input[data-name="选择框_开启广告检测"]');
    await box.waitFor();
    await page.screenshot({ path: path.join(shots, '6-广告检测.png'), fullPage: true });
    await box.check();
    await page.goto(base + '#功能状态');
    await page.locator('[data-label="广告检测:"]', { hasText: '已开启' }).waitFor({ timeout: 3000 });
    for (const label of ['邀请查询:', '进群欢迎:', '定时任务:', '审核进群:', '人数控制:', '关键词回复:']) {
      assert.deepEqual(await statusLabel(page, label), { text: '已关闭', color: GREY }, label);
    }
    assert.deepEqual(await statusLabel(page, '广告检测:'), { text: '已开启', color: GREEN });
    const ini = fs.readFileSync(path.join(data, 'setsoft.ini'), 'utf8');
    assert.match(ini, /选择框_开启广告检测=真/);
    await page.goto(base + '#运行日志');
    await page.locator('#log-body td', { hasText: /^开启广告检测$/ }).waitFor({ timeout: 3000 });
  });

  await check('a bad number is refused in a dialog and nothing changes', async () => {
    await page.goto(base + '#广告检测');
    const minutes = page.locator('input[data-name="编辑框_禁言时间"]');
    await minutes.waitFor();
    await minutes.fill('abc');
    await minutes.press('Tab');
    await page.locator('#dialog-text', { hasText: '之间的整数' }).waitFor({ timeout: 3000 });
    await page.screenshot({ path: path.join(shots, '6-广告检测-错误.png') });
    await page.click('#dialog-ok');
    // The page is drawn again from the model, which kept its value.
    await page.waitForFunction(() => document.querySelector('input[data-name="编辑框_禁言时间"]')?.value === '43200', null, { timeout: 3000 });
    assert.match(fs.readFileSync(path.join(data, 'setsoft.ini'), 'utf8'), /编辑框_禁言时间=43200/);
  });

  await check('a variable button types its text at the caret', async () => {
    await page.goto(base + '#进群欢迎');
    const area = page.locator('textarea[data-name="编辑框_欢迎语"]');
    await area.waitFor();
    await area.evaluate((n) => { n.selectionStart = n.selectionEnd = 0; });
    await page.click('button:text-is("[时间]")');
    await page.waitForFunction(() => document.querySelector('textarea[data-name="编辑框_欢迎语"]')?.value.startsWith('[时间][昵称]'));
  });

  await check('the run log updates live (a change in another tab shows within a second)', async () => {
    await page.goto(base + '#运行日志');
    await page.locator('#log-body tr').first().waitFor();
    const other = await context.newPage();
    await other.goto(base + '#广告检测');
    await other.locator('input[data-name="选择框_开启广告检测"]').uncheck();
    const t0 = Date.now();
    await page.locator('#log-body td', { hasText: /^关闭广告检测$/ }).waitFor({ timeout: 1500 });
    console.log('     live update after ' + (Date.now() - t0) + ' ms');
    await other.close();
    await page.screenshot({ path: path.join(shots, '7-运行日志.png') });
  });

  await check('ticking a group on 群设置 makes it managed: 监控群数 4', async () => {
    await page.goto(base + '#群设置');
    const fourth = page.locator('input[data-row="3"]');
    await fourth.waitFor();
    assert.equal(await page.locator('tbody input[type="checkbox"]:checked').count(), 3);
    await fourth.check();
    await page.goto(base + '#功能状态');
    await page.locator('[data-label="监控群数:"]', { hasText: /^4$/ }).waitFor({ timeout: 3000 });
    assert.match(fs.readFileSync(path.join(data, '群列表.txt'), 'utf8'), /\{1\}4----104----/);
    await page.goto(base + '#群设置');
    await page.locator('input[data-row="3"]:checked').waitFor();
  });

  await check('人数控制 in 更多功能 switches member-count control on; 邀请统计 shows its reply', async () => {
    await page.goto(base + '#更多功能');
    await page.click('.tabs button:text-is("人数控制")');
    const box = page.locator('input[data-name="选择框_开启群人数控制"]');
    await box.waitFor();
    await box.check();
    await page.goto(base + '#功能状态');
    await page.locator('[data-label="人数控制:"]', { hasText: '已开启' }).waitFor({ timeout: 3000 });
    await page.goto(base + '#更多功能');
    await page.click('.tabs button:text-is("进群审核")');
    await page.locator('input[data-name="编辑框_进群等级"]').waitFor();
    await page.screenshot({ path: path.join(shots, '8-更多功能-进群审核.png'), fullPage: true });
    await page.goto(base + '#邀请统计');
    await page.locator('textarea[data-name="编辑框_邀请查询回复"]').waitFor();
    assert.match(await page.locator('textarea[data-name="编辑框_邀请查询回复"]').inputValue(), /您现存邀请人数为：\[现存邀请人数\]/);
  });

  // The list pages take their screenshots in lists.test.mjs.
  await check('名单设置 draws its lists (no page is a placeholder any more); the help page opens', async () => {
    await page.goto(base + '#名单设置');
    await page.locator('.tabs button', { hasText: '黑名单' }).waitFor();
    await page.locator('#page table').waitFor();
    assert.equal(await page.locator('.placeholder').count(), 0);
    await page.goto(base + 'help.html');
    await page.locator('h1', { hasText: '消息变量与 CQ 码' }).waitFor();
  });

  await check('once connected, the avatar is the account picture from QQ; offline it is a letter', async () => {
    await page.goto(base + '#功能状态');
    await page.locator('#avatar').filter({ hasText: /^.$/ }).waitFor();
    assert.equal(await page.locator('#avatar img').count(), 0);
    // Pretend the account connected, and stand in for QQ's avatar server.
    const pictures = [];
    await context.route('https://q1.qlogo.cn/**', (route) => {
      pictures.push(route.request().url());
      route.fulfill({ contentType: 'image/svg+xml', body: fs.readFileSync(new URL('../../src/ui/assets/icon.svg', import.meta.url)) });
    });
    await page.route('**/api/status', async (route) => {
      const real = await route.fetch();
      const body = await real.json();
      body.connection = { ...body.connection, state: 'connected', text: '已连接', account: '123456789', nick: '群主' };
      // A poll still in flight when the stand-in is removed below is answered
      // by the service itself; fulfilling it then would throw outside any check.
      await route.fulfill({ response: real, json: body }).catch((e) => {
        if (!/already handled/.test(String(e))) throw e;
      });
    });
    await page.locator('#avatar img').waitFor({ timeout: 3000 });
    assert.deepEqual(pictures, ['https://q1.qlogo.cn/g?b=qq&nk=123456789&s=100']);
    assert.equal(await page.locator('#nick').textContent(), '群主');
    await page.unroute('**/api/status');
    await context.unroute('https://q1.qlogo.cn/**');
    await page.locator('#avatar img').waitFor({ state: 'detached', timeout: 3000 });
  });

  await check('no script error and no policy violation in the console', async () => {
    assert.deepEqual(consoleErrors, []);
  });
} finally {
  await close();
}

finish();
