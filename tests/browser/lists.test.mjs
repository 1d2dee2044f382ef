// Browser tests of the panel's list pages: the refresh buttons of 群设置 without
// an account, the three lists of 名单设置, the invite query, the welcome text of
// ticked groups and the member limit with its question.
//   node lists.test.mjs PROGRAM [SCREENSHOT_DIR]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, openPanel, shots } from './harness.mjs';

const { data, base, page, consoleErrors, login, close } = await openPanel();
const db = path.join(data, 'brindlewarden.db');
const sql = (statement) => execFileSync('sqlite3', [db, statement], { encoding: 'utf8' }).trim();
const cellsOf = (locator) => locator.evaluateAll((rows) => rows.map((r) => [...r.cells].map((c) => c.textContent.trim())));
const heads = async (table) => (await page.locator(table + ' th').allTextContents()).map((t) => t.trim());

// The dialog shows `text`; answers it with the given button.
async function answerDialog(text, button) {
  await page.locator('#dialog[open] #dialog-text', { hasText: text }).waitFor({ timeout: 3000 });
  await page.click(button);
  await page.locator('#dialog[open]').waitFor({ state: 'detached', timeout: 3000 }).catch(() => {});
  await page.waitForFunction(() => !document.getElementById('dialog').open);
}

try {
  await login();

  await check('群设置: both refresh buttons stand above the list and, offline, say why in a dialog; the list stays', async () => {
    await page.goto(base + '#群设置');
    await page.locator('#refresh-groups').waitFor();
    await page.locator('input[data-row="11"]').waitFor();
    const above = await page.evaluate(() =>
      document.getElementById('refresh-groups').compareDocumentPosition(document.querySelector('#page table')) & Node.DOCUMENT_POSITION_FOLLOWING);
    assert.ok(above, 'the buttons come before the list');
    assert.equal(await page.locator('#refresh-members').textContent(), '重新初始化勾选的失败群');
    await page.screenshot({ path: path.join(shots, '2-群设置.png'), fullPage: true });
    const t0 = Date.now();
    await page.click('#refresh-groups');
    await page.locator('#dialog[open] #dialog-text', { hasText: '没有连接账号' }).waitFor({ timeout: 3000 });
    console.log('     refused after ' + (Date.now() - t0) + ' ms');
    await page.screenshot({ path: path.join(shots, '2-群设置-离线.png') });
    await answerDialog('没有连接账号', '#dialog-ok');
    await page.click('#refresh-members');
    await answerDialog('没有连接账号', '#dialog-ok');
    assert.equal(await page.locator('#page tbody input[type="checkbox"]').count(), 12);
    assert.equal(await page.locator('#page tbody input[type="checkbox"]:checked').count(), 3);
    assert.match(fs.readFileSync(path.join(data, '群列表.txt'), 'utf8'), /\{1\}3----103----群3/);
  });

  await check('名单设置: three tabs with their hints; adding to the blacklist shows the rows and keeps them', async () => {
    await page.goto(base + '#名单设置');
    const tabs = page.locator('.tabs button');
    await tabs.first().waitFor();
    assert.deepEqual(await tabs.allTextContents(), ['管理员', '白名单', '黑名单']);
    await page.locator('.note', { hasText: '管理员名单里的成员可以使用各种命令操控机器人' }).waitFor();
    assert.deepEqual(await heads('#list-管理员'), ['序号', 'QQ号', '昵称', '加入时间']);
    await page.fill('#add-管理员', '30001');
    await page.click('button:text-is("加入管理员")');
    await page.locator('#list-管理员 tbody tr[data-key="30001"]').waitFor({ timeout: 3000 });
    await page.screenshot({ path: path.join(shots, '3-名单设置.png'), fullPage: true });
    await page.screenshot({ path: path.join(shots, '3-名单设置-管理员.png'), fullPage: true });
    await page.click('.tabs button:text-is("白名单")');
    await page.locator('.note', { hasText: '白名单里的成员可以避免t人禁言规则' }).waitFor();
    await page.screenshot({ path: path.join(shots, '3-名单设置-白名单.png'), fullPage: true });

    await page.click('.tabs button:text-is("黑名单")');
    await page.locator('.note', { hasText: '黑名单成员禁止进群' }).waitFor();
    await page.fill('#add-黑名单', '20001\n\n20002');
    await page.click('button:text-is("加入黑名单")');
    await page.locator('#list-黑名单 tbody tr[data-key="20002"]').waitFor({ timeout: 3000 });
    const rows = await cellsOf(page.locator('#list-黑名单 tbody tr'));
    assert.deepEqual(rows.map((r) => r.slice(0, 2)), [['1', '20001'], ['2', '20002']]);
    assert.match(rows[0][3], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
    assert.equal(await page.locator('#add-黑名单').inputValue(), '');
    assert.equal(sql('select group_concat(QQ号) from 黑名单'), '20001,20002');
    // A fresh page reads them back from the database.
    await page.reload();
    await page.click('.tabs button:text-is("黑名单")');
    await page.locator('#list-黑名单 tbody tr[data-key="20001"]').waitFor({ timeout: 3000 });
    await page.screenshot({ path: path.join(shots, '3-名单设置-黑名单.png'), fullPage: true });
  });

  await check('名单设置: a line that is no QQ number is refused in a dialog; a duplicate is not added twice; ticked rows are deleted', async () => {
    await page.fill('#add-黑名单', '20003\nabc');
    await page.click('button:text-is("加入黑名单")');
    await answerDialog('第2行“abc”不是QQ号', '#dialog-ok');
    assert.equal(sql('select count(1) from 黑名单'), '2');
    await page.fill('#add-黑名单', '20002');
    await page.click('button:text-is("加入黑名单")');
    await page.locator('.saved', { hasText: '20002 已在黑名单里' }).waitFor({ timeout: 3000 });
    assert.equal(sql("select count(1) from 黑名单 where QQ号='20002'"), '1');

    await page.check('#list-黑名单 tbody input[data-key="20001"]');
    await page.click('button:text-is("删除选中的黑名单")');
    await page.locator('#list-黑名单 tbody tr[data-key="20001"]').waitFor({ state: 'detached', timeout: 3000 });
    assert.equal(sql('select group_concat(QQ号) from 黑名单'), '20002');
    assert.deepEqual((await cellsOf(page.locator('#list-黑名单 tbody tr'))).map((r) => r.slice(0, 2)), [['1', '20002']]);
  });

  await check('邀请统计: 查询 with an empty box lists every inviter, with a number only that one', async () => {
    sql("insert into 邀请统计(QQ号,昵称,现存个数,邀请个数,退出个数) values('5001','甲','1','2','1'),('5002','乙','3','3','0')");
    await page.goto(base + '#邀请统计');
    await page.locator('#invite-query').waitFor();
    await page.locator('textarea[data-name="编辑框_邀请查询回复"]').waitFor();
    assert.equal(await page.locator('#invite-list legend').textContent(), '邀请名单');
    await page.locator('#invite-list .note', { hasText: '留空就是显示全部' }).waitFor();
    await page.click('#invite-query');
    await page.locator('#invite-list-table tbody tr[data-key="5002"]').waitFor({ timeout: 3000 });
    assert.deepEqual(await heads('#invite-list-table'), ['序号', 'QQ号', '昵称', '现存个数', '邀请个数', '退出个数']);
    assert.deepEqual(await cellsOf(page.locator('#invite-list-table tbody tr')),
      [['1', '5001', '甲', '1', '2', '1'], ['2', '5002', '乙', '3', '3', '0']]);
    await page.screenshot({ path: path.join(shots, '4-邀请统计.png'), fullPage: true });
    await page.fill('#invite-filter', '5002');
    await page.press('#invite-filter', 'Enter');
    await page.locator('#invite-list-table tbody tr[data-key="5001"]').waitFor({ state: 'detached', timeout: 3000 });
    assert.deepEqual(await cellsOf(page.locator('#invite-list-table tbody tr')), [['1', '5002', '乙', '3', '3', '0']]);
    await page.fill('#invite-filter', '50x2');
    await page.click('#invite-query');
    await answerDialog('不是QQ号', '#dialog-ok');
  });

  await check('进群欢迎: the welcome text is set on a ticked group only (list and file)', async () => {
    await page.goto(base + '#进群欢迎');
    await page.locator('#welcome-list tbody tr[data-key="103"]').waitFor({ timeout: 3000 });
    assert.deepEqual(await heads('#welcome-list'), ['序号', '群号', '群名称', '欢迎语']);
    // The header's box ticks all rows, then none.
    await page.check('#welcome-list .tick-all');
    assert.equal(await page.locator('#welcome-list tbody input:checked').count(), 3);
    await page.uncheck('#welcome-list .tick-all');
    assert.equal(await page.locator('#welcome-list tbody input:checked').count(), 0);
    await page.check('#welcome-list tbody input[data-key="102"]');
    await page.fill('textarea[data-name="编辑框_欢迎语"]', '欢迎新朋友[昵称]');
    await page.click('#set-welcome');
    await page.waitForFunction(() => document.querySelector('#welcome-list tr[data-key="102"]')?.cells[3].textContent === '欢迎新朋友[昵称]', null, { timeout: 3000 });
    assert.equal(fs.readFileSync(path.join(data, '102'), 'utf8'), '欢迎新朋友[昵称]');
    assert.ok(!fs.existsSync(path.join(data, '101')) && !fs.existsSync(path.join(data, '103')));
    assert.deepEqual((await cellsOf(page.locator('#welcome-list tbody tr'))).map((r) => r[3]), ['', '欢迎新朋友[昵称]', '']);
    await page.screenshot({ path: path.join(shots, '5-进群欢迎.png'), fullPage: true });
  });

  await check('人数控制: a limit of 400 asks the question; 否 changes nothing, 是 sets it on the ticked group', async () => {
    await page.goto(base + '#更多功能');
    await page.click('.tabs button:text-is("人数控制")');
    await page.locator('#limit-list tbody tr[data-key="101"]').waitFor({ timeout: 3000 });
    assert.deepEqual(await heads('#limit-list'), ['群号', '群名称', '现有人数', '限制人数', '踢掉人数']);
    await page.check('#limit-list tbody input[data-key="101"]');
    await page.fill('input[data-name="编辑框_限制人数"]', '400');
    await page.click('#set-limit');
    await page.locator('#dialog[open] #dialog-text', { hasText: '你限制的人数过少确定设置么?' }).waitFor({ timeout: 3000 });
    assert.equal(await page.locator('#dialog-no').textContent(), '否');
    await page.screenshot({ path: path.join(shots, '8-更多功能-人数控制-询问.png') });
    await answerDialog('你限制的人数过少确定设置么?', '#dialog-no');
    const limits = () => cellsOf(page.locator('#limit-list tbody tr'));
    assert.deepEqual((await limits()).map((r) => r[3]), ['', '', '']);
    const ini = path.join(data, '人数限制.ini');
    assert.ok(!fs.existsSync(ini) || !/101=/.test(fs.readFileSync(ini, 'latin1')), 'no limit written on 否');

    await page.click('#set-limit');
    await answerDialog('你限制的人数过少确定设置么?', '#dialog-ok');
    await page.waitForFunction(() => document.querySelector('#limit-list tr[data-key="101"]')?.cells[3].textContent === '400', null, { timeout: 3000 });
    assert.deepEqual((await limits()).map((r) => r[3]), ['400', '', '']);
    assert.match(fs.readFileSync(ini, 'latin1'), /101=400/);
    assert.doesNotMatch(fs.readFileSync(ini, 'latin1'), /102=/);
    await page.screenshot({ path: path.join(shots, '8-更多功能-人数控制.png'), fullPage: true });
  });

  await check('no script error and no policy violation in the console', async () => {
    assert.deepEqual(consoleErrors, []);
  });
} finally {
  await close();
}

finish();
