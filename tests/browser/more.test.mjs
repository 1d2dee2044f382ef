// Browser tests of 更多功能: the launcher, the keyword list and its add box, the
// timed tasks, and the statistics of a home with a group log for today.
//   node more.test.mjs PROGRAM [SCREENSHOT_DIR]
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, openPanel, shots } from './harness.mjs';

const { data, base, page, consoleErrors, close, login } = await openPanel();

// Today's group log and one of three days ago, written before the panel reads them.
const dayName = (d) => `${d.getFullYear()}-${d.getMonth() + 1}-${d.getDate()}`;
const now = new Date();
const today = dayName(now);
const earlier = dayName(new Date(now.getFullYear(), now.getMonth(), now.getDate() - 3, 12));
const line = (group, word, member, op) => `${today} 09:0${member % 10}:00\t${group}\t${word}\t${member}\t${op}\r\n`;
fs.writeFileSync(path.join(data, '群数据', today + '.txt'),
  line(101, '进群', 20001, 0) + line(101, '进群', 20002, 0) + line(102, '进群', 20003, 0) +
  line(101, '退群', 20004, 0) + line(102, '退群', 20005, 10000));
fs.writeFileSync(path.join(data, '群数据', earlier + '.txt'), `${earlier} 10:00:00\t103\t进群\t30001\t0\r\n`);

const dialog = async (text) => {
  await page.locator('#dialog-text', { hasText: text }).waitFor({ timeout: 3000 });
};
const closeDialog = async () => {
  await page.click('#dialog-ok');
  await page.locator('#dialog').waitFor({ state: 'hidden' });
};
const runLogHas = async (text) => {
  await page.goto(base + '#运行日志');
  await page.locator('#log-body td', { hasText: text }).first().waitFor({ timeout: 3000 });
};
const until = async (test, ms = 3000) => {
  for (const end = Date.now() + ms; !test(); await new Promise((r) => setTimeout(r, 50)))
    if (Date.now() > end) throw new Error('timed out waiting for ' + test);
};
const openTab = async (title) => {
  await page.goto(base + '#更多功能');
  await page.click(`.tabs button:text-is("${title}")`);
};

try {
  await login();

  await check('the launcher shows five tiles and each selects its tab', async () => {
    await page.goto(base + '#更多功能');
    await page.locator('.tile').first().waitFor();
    assert.deepEqual(await page.locator('.tabs button').allTextContents(),
      ['更多功能', '定时功能', '进群统计', '进群审核', '人数控制', '关键词回复']);
    assert.deepEqual(await page.locator('.tile span').allTextContents(),
      ['定时功能', '进群统计', '进群审核', '人数控制', '关键词回复']);
    await page.screenshot({ path: path.join(shots, '8-更多功能.png'), fullPage: true });
    for (const title of ['定时功能', '进群审核', '人数控制', '关键词回复']) {
      await page.click('.tabs button:text-is("更多功能")');
      await page.click(`.tile[data-tile="${title}"]`);
      await page.locator(`.tabs button[aria-selected="true"]:text-is("${title}")`).waitFor();
    }
    await page.locator('#kw-add').waitFor();
  });

  await check('adding a keyword shows its row and writes 回复关键词.txt', async () => {
    await openTab('关键词回复');
    await page.locator('#kw-add').waitFor();
    assert.equal(await page.locator('input[data-name="选择框_开启关键词回复"]').count(), 1);
    await page.fill('#kw-keyword', '你好');
    await page.fill('#kw-reply', '欢迎光临');
    await page.click('#kw-add');
    const row = page.locator('[data-list="超级列表框_回复关键词"] tbody tr');
    await row.first().waitFor({ timeout: 3000 });
    assert.deepEqual(await row.first().locator('td').allTextContents(), ['', '1', '你好', '欢迎光临', '模糊', '0', '0']);
    assert.equal(await page.inputValue('#kw-keyword'), '');
    const file = fs.readFileSync(path.join(data, '回复关键词.txt'), 'utf8');
    assert.match(file, /^\{0\}1----你好----欢迎光临----模糊----0----0\r\n$/);
    await page.screenshot({ path: path.join(shots, '8-更多功能-关键词回复.png'), fullPage: true });
  });

  await check('the add box refuses what the window refuses, in dialogs, and adds nothing', async () => {
    await openTab('关键词回复');
    await page.locator('#kw-add').waitFor();
    await page.fill('#kw-keyword', '帮助');
    await page.click('#kw-add');
    await dialog('内容不能空');
    await closeDialog();
    await page.fill('#kw-reply', '查询:');
    await page.click('#kw-variable');
    assert.equal(await page.inputValue('#kw-reply'), '查询:{智能变量}');
    await page.check('#kw-exact');
    await page.click('#kw-add');
    await dialog('精准模式不支持智能变量');
    await closeDialog();
    await page.fill('#kw-keyword', '你好');
    await page.check('#kw-fuzzy');
    await page.click('#kw-add');
    await dialog('关键词已经存在请换一个关键词吧!');
    await closeDialog();
    await page.fill('#kw-keyword', '天气');
    await page.fill('#kw-count', 'abc');
    await page.click('#kw-add');
    await dialog('回复次数');
    await closeDialog();
    assert.equal(await page.locator('[data-list="超级列表框_回复关键词"] tbody tr').count(), 1);
    assert.equal(fs.readFileSync(path.join(data, '回复关键词.txt'), 'utf8').split('\r\n').length, 2);
  });

  await check('a second keyword, then the first deleted: rows renumbered in the list and the file', async () => {
    await openTab('关键词回复');
    await page.locator('#kw-add').waitFor();
    await page.fill('#kw-keyword', '搜');
    await page.fill('#kw-reply', '查询:{智能变量}');
    await page.fill('#kw-count', '5');
    await page.click('#kw-add');
    const rows = page.locator('[data-list="超级列表框_回复关键词"] tbody tr');
    await page.waitForFunction(() => document.querySelectorAll('[data-list="超级列表框_回复关键词"] tbody tr').length === 2);
    await page.check('input[aria-label="你好"]');
    await page.click('#kw-delete');
    await dialog('删除选中的 1 条回复语?');
    await page.click('#dialog-ok');
    await page.waitForFunction(() => document.querySelectorAll('[data-list="超级列表框_回复关键词"] tbody tr').length === 1);
    assert.deepEqual(await rows.first().locator('td').allTextContents(), ['', '1', '搜', '查询:{智能变量}', '模糊', '5', '0']);
    assert.equal(fs.readFileSync(path.join(data, '回复关键词.txt'), 'utf8'), '{0}1----搜----查询:{智能变量}----模糊----5----0\r\n');
  });

  await check('a timed task added and deleted', async () => {
    await openTab('定时功能');
    await page.locator('#task-add').waitFor();
    assert.equal(await page.locator('input[data-name="选择框_开启定时任务"]').count(), 1);
    // A message without content is refused as the window does.
    await page.check('input[name="task-action"][value="发送信息"]');
    await page.fill('#task-content', '');
    await page.fill('#task-time', '08:30:00');
    await page.click('#task-add');
    await dialog('请填写发送内容');
    await closeDialog();
    assert.equal(await page.locator('[data-list="超级列表框_定时任务"] tbody tr').count(), 0);
    await page.check('input[name="task-action"][value="全体禁言"]');
    await page.click('#task-add');
    const row = page.locator('[data-list="超级列表框_定时任务"] tbody tr').first();
    await row.waitFor({ timeout: 3000 });
    const cells = await row.locator('td').allTextContents();
    assert.deepEqual(cells.slice(1, 4), ['08:30:00', '全体禁言', '']);
    assert.match(cells[4], /^(等待执行|明天执行)$/);
    assert.match(fs.readFileSync(path.join(data, '任务列表.txt'), 'utf8'), /^\{0\}08:30:00----全体禁言--------(等待执行|明天执行)\r\n$/);
    await page.screenshot({ path: path.join(shots, '8-更多功能-定时功能.png'), fullPage: true });
    await row.locator('input[type="checkbox"]').check();
    await until(() => fs.readFileSync(path.join(data, '任务列表.txt'), 'utf8').startsWith('{1}'));
    await page.click('#task-delete');
    await page.waitForFunction(() => document.querySelectorAll('[data-list="超级列表框_定时任务"] tbody tr').length === 0, null, { timeout: 3000 });
    assert.equal(fs.readFileSync(path.join(data, '任务列表.txt'), 'utf8'), '');
    await runLogHas('添加任务 08:30:00 全体禁言');
    await runLogHas('删除了1个任务');
  });

  await check('立即执行 without a connected account fails with a clear message', async () => {
    await openTab('定时功能');
    await page.locator('#task-offline').waitFor();
    await page.check('input[name="task-action"][value="发送信息"]');
    await page.fill('#task-content', '大家好');
    await page.click('#task-run');
    await dialog('没有连接账号');
    await closeDialog();
  });

  await check('offline, a task that comes due is not run (nothing could be sent)', async () => {
    await openTab('定时功能');
    const box = page.locator('input[data-name="选择框_开启定时任务"]');
    await box.waitFor();
    await box.check();
    await until(() => /选择框_开启定时任务=真/.test(fs.readFileSync(path.join(data, 'setsoft.ini'), 'utf8')));
    await openTab('定时功能');  // drawn afresh, with the switch on
    await page.locator('#task-add').waitFor();
    const due = new Date(Date.now() + 4000).toTimeString().slice(0, 8);
    await page.fill('#task-time', due);
    await page.check('input[name="task-action"][value="发送信息"]');
    await page.fill('#task-content', '大家好');
    await page.click('#task-add');
    await page.locator('[data-list="超级列表框_定时任务"] tbody td', { hasText: due }).waitFor({ timeout: 3000 });
    assert.equal(await page.locator('#task-scheduler').textContent(), '离线配置: 定时任务不会执行');
    await new Promise((r) => setTimeout(r, 7000));
    await openTab('定时功能');
    const row = page.locator('[data-list="超级列表框_定时任务"] tbody tr', { hasText: due });
    await row.waitFor();
    assert.equal(await row.locator('td').last().textContent(), '等待执行');
    await page.goto(base + '#运行日志');
    await page.locator('#log-body td', { hasText: '添加任务 ' + due }).waitFor({ timeout: 3000 });
    assert.equal(await page.locator('#log-body td', { hasText: '开始执行任务' }).count(), 0);
  });

  await check('today\'s joins and leaves show in the list, the summary and the chart', async () => {
    await openTab('进群统计');
    const rows = page.locator('[data-list="超级列表框_群管数据"] tbody tr');
    await rows.first().waitFor({ timeout: 3000 });
    assert.deepEqual(await page.locator('#stats-day option').allTextContents(), ['今天', earlier]);
    assert.equal(await rows.count(), 5);
    assert.deepEqual(await page.locator('[data-list="超级列表框_群管数据"] th').allTextContents(), ['时间', '群号', '状态', 'QQ', '操作QQ']);
    assert.equal(await rows.first().evaluate((n) => getComputedStyle(n).color), 'rgb(0, 128, 0)');
    assert.equal(await page.locator('#stats-summary-text').textContent(), '进群:3  退群:1  踢出:1\n\n总进群:1');
    const bar = page.locator(`#stats-chart g[data-day="${today}"]`);
    await bar.waitFor({ timeout: 3000 });
    assert.equal(await bar.getAttribute('data-joins'), '3');
    assert.equal(await bar.getAttribute('data-leaves'), '1');
    assert.equal(await bar.getAttribute('data-removals'), '1');
    assert.equal(await page.locator(`#stats-chart g[data-day="${earlier}"]`).getAttribute('data-joins'), '1');
    assert.equal(await page.locator('#stats-chart g').count(), 30);
    assert.ok(Number(await bar.locator('rect.bar-join').getAttribute('height')) > 0);
    await page.screenshot({ path: path.join(shots, '8-更多功能-进群统计.png'), fullPage: true });
  });

  await check('the group summary, sorting by a column, another date, and the data directory', async () => {
    await openTab('进群统计');
    await page.locator('#stats-summary').waitFor();
    await page.locator('[data-list="超级列表框_群管数据"] tbody tr').first().waitFor();
    await page.click('#stats-summary');
    await page.locator('[data-list="超级列表框_群管数据"] th', { hasText: '总进群' }).waitFor({ timeout: 3000 });
    const cells = async () => page.locator('[data-list="超级列表框_群管数据"] tbody tr').evaluateAll(
      (trs) => trs.map((tr) => [...tr.children].map((td) => td.textContent)));
    assert.deepEqual(await cells(), [
      ['101', '群1', '2', '1', '0', '1'], ['102', '群2', '1', '0', '1', '0'], ['103', '群3', '0', '0', '0', '0']]);
    await page.click('button.sort:text-is("进群")');
    await page.waitForFunction(() => document.querySelector('[data-list="超级列表框_群管数据"] tbody td')?.textContent === '103');
    await page.click('button.sort:text-is("进群")');
    await page.waitForFunction(() => document.querySelector('[data-list="超级列表框_群管数据"] tbody td')?.textContent === '101');
    await page.selectOption('#stats-day', earlier);
    await page.waitForFunction(() => document.querySelectorAll('[data-list="超级列表框_群管数据"] tbody tr').length === 1);
    assert.equal(await page.locator('#stats-summary-text').textContent(), '进群:1  退群:0  踢出:0\n\n总进群:1');
    // The launcher's tile recomputes the chosen date instead of going back to today.
    await page.click('.tabs button:text-is("更多功能")');
    await page.click('.tile[data-tile="进群统计"]');
    await page.waitForFunction((d) => document.querySelector('#stats-day')?.value === d, earlier);
    assert.equal(await page.locator('[data-list="超级列表框_群管数据"] tbody tr').count(), 1);
    await page.click('#stats-dir');
    await dialog(path.join(data, '群数据') + '/');
    await closeDialog();
  });

  await check('no script error and no policy violation in the console', async () => {
    assert.deepEqual(consoleErrors, []);
  });
} finally {
  await close();
}

finish();
