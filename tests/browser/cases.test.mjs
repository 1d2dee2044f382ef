// Browser tests of 处罚记录: the cases a replayed day left are listed newest
// first, page by page and filtered; a kick offers no undo; undoing a
// blacklisting in the page marks the case and lists the undo, made by 面板; a
// mute cannot be lifted while no account is connected (this panel is offline),
// and the page says so; the CSV download opens with a byte-order mark.
//   node cases.test.mjs PROGRAM [SCREENSHOT_DIR]
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, makeHome, openPanel, program, shots } from './harness.mjs';

// A day of the rules in replay: 60 members muted for an advertisement, then an
// administrator's kick with blacklisting.
const { home } = makeHome();
const lines = [JSON.stringify({ set: {
  '选择框_开启广告检测': true, '选择框_踢关键词': true, '编辑框_踢人关键词': '加我微信',
  '单选框_禁言': true, '编辑框_禁言时间': '10' } })];
for (let i = 0; i < 60; i++) {
  lines.push(JSON.stringify({ post_type: 'message', message_type: 'group', time: 1765000000 + 60 * i,
    group_id: i % 2 ? 102 : 101, user_id: 20001 + i, message: '加我微信 第' + i + '条' }));
}
lines.push(JSON.stringify({ set: { '选择框_踢出加黑': true } }));
lines.push(JSON.stringify({ post_type: 'message', message_type: 'group', time: 1765010000,
  group_id: 103, user_id: 1000000, message: '[CQ:at,qq=30001] 走你' }));
const replay = spawnSync(program, ['replay', '--home', home, '--clock', '2025-12-01 00:00:00'],
  { input: lines.join('\n') + '\n', encoding: 'utf8' });
assert.equal(replay.status, 0, replay.stderr);

const { base, page, consoleErrors, login, close } =
  await openPanel({ home, viewport: { width: 1280, height: 800 } });

const rows = () => page.locator('.case-table tbody tr');
const actionsShown = () => page.locator('.case-table tbody tr td:nth-child(5) > span:first-child').allTextContents();

// Runs `action` and waits for the table it makes the page draw afresh.
async function redrawn(action) {
  await page.evaluate(() => document.querySelector('.case-table')?.setAttribute('data-stale', '1'));
  await action();
  await page.locator('.case-table:not([data-stale])').waitFor();
}

async function openCases() {
  await page.goto(base + '#自动管理');
  await page.locator('#page .tabs button', { hasText: '处罚记录' }).click();
  await page.locator('.case-table').waitFor();
}
async function search(fields) {
  for (const [key, value] of Object.entries(fields)) {
    const box = page.locator(`.case-filters [data-filter="${key}"]`);
    if (key === 'action') await box.selectOption(value);
    else await box.fill(value);
  }
  await redrawn(() => page.click('.case-filters button[type="submit"]'));
  await page.locator('.case-page-no', { hasText: '第 1 页' }).waitFor();
}
// Answers the question with 是, then closes the answer; returns the answer's text.
async function confirmAndRead(question) {
  await page.locator('#dialog-text', { hasText: question }).waitFor();
  await page.click('#dialog-ok');
  await page.locator('#dialog-ok', { hasText: '确定' }).waitFor();
  const text = await page.locator('#dialog-text').textContent();
  await redrawn(() => page.click('#dialog-ok'));
  await page.locator('#dialog').waitFor({ state: 'hidden' });
  return text;
}

try {
  await login();

  await check('the cases are listed newest first, fifty to a page', async () => {
    await openCases();
    assert.equal(await rows().count(), 50);
    const actions = await actionsShown();
    assert.deepEqual(actions.slice(0, 3), ['拉黑', '踢出', '禁言']);
    const first = rows().first();
    assert.match(await first.locator('td').nth(3).textContent(), /^30001$/);
    assert.equal(await first.locator('td').nth(8).textContent(), '1000000');
    await page.screenshot({ path: path.join(shots, 'cases-列表.png'), fullPage: true });
    await redrawn(() => page.click('.case-pager button:text-is("下一页")'));
    await page.locator('.case-page-no', { hasText: '第 2 页' }).waitFor();
    assert.equal(await rows().count(), 12);
    assert.equal(await page.locator('.case-pager button:text-is("下一页")').isDisabled(), true);
    // The last case of all is the first mute of the day.
    assert.equal(await rows().last().locator('td').nth(3).textContent(), '20001');
    await redrawn(() => page.click('.case-pager button:text-is("上一页")'));
    await page.locator('.case-page-no', { hasText: '第 1 页' }).waitFor();
    assert.equal(await rows().count(), 50);
  });

  await check('filters narrow the list, and a kick offers no undo', async () => {
    await search({ group: '103' });
    assert.equal(await rows().count(), 2);
    const kick = rows().filter({ has: page.locator('td:nth-child(5) > span:first-child', { hasText: /^踢出$/ }) });
    assert.equal(await kick.locator('button.case-undo').count(), 0);
    assert.match(await kick.locator('td').last().locator('span').getAttribute('title'), /踢出/);
    await search({ group: '', action: '禁言', member: '20002' });
    assert.equal(await rows().count(), 1);
    assert.equal(await rows().first().locator('td').nth(2).textContent(), '102');
  });

  await check('undoing the blacklisting in the page marks it and lists the undo', async () => {
    await search({ member: '30001', action: '拉黑' });
    await rows().first().locator('button.case-undo').click();
    const answer = await confirmAndRead('撤销第');
    assert.match(answer, /移出黑名单/);
    await search({ action: '' });
    await rows().first().locator('td', { hasText: '移出黑名单' }).waitFor();
    const listed = rows().filter({ has: page.locator('td:nth-child(5) > span:first-child', { hasText: /^拉黑$/ }) });
    await listed.locator('.case-tag.undone').waitFor();
    assert.equal(await listed.locator('button.case-undo').count(), 0);
    const res = await page.request.get(base + 'api/lists/accounts?list=' + encodeURIComponent('黑名单'));
    assert.doesNotMatch(await res.text(), /30001/);
    // Made in the panel: the owner, through the robot, not the robot by its rules.
    assert.equal(await rows().first().locator('td').nth(8).textContent(), '面板');
    await page.screenshot({ path: path.join(shots, 'cases-撤销.png'), fullPage: true });
  });

  await check('offline, a mute offers no undo, the page says why, and an undo asked anyway changes nothing', async () => {
    await search({ member: '20010', action: '' });
    assert.equal(await rows().count(), 1);
    assert.equal(await rows().first().locator('button.case-undo').count(), 0);
    await rows().first().locator('.case-offline', { hasText: '未连接QQ' }).waitFor();
    await page.locator('.case-offline-note', { hasText: '未连接QQ' }).waitFor();
    await page.screenshot({ path: path.join(shots, 'cases-未连接.png'), fullPage: true });
    const id = Number(await rows().first().getAttribute('data-case'));
    const answer = await page.evaluate((caseId) => api('POST', '/api/cases/undo', { id: caseId }), id);
    assert.equal(answer.status, 409);
    assert.match(answer.data.error, /未连接QQ/);
    await search({ member: '20010' });
    assert.equal(await rows().count(), 1);
    assert.equal(await rows().first().locator('.case-tag.undone').count(), 0);
  });

  await check('the CSV download opens with a byte-order mark and holds every case', async () => {
    await search({ member: '', action: '' });
    const href = await page.locator('a.case-export').getAttribute('href');
    const res = await page.request.get(new URL(href, base).toString());
    assert.equal(res.status(), 200);
    const bytes = await res.body();
    assert.deepEqual([...bytes.subarray(0, 3)], [0xEF, 0xBB, 0xBF]);
    const text = bytes.toString('utf8');
    assert.equal(text.trim().split('\r\n').length, 1 + 63);  // header, 62 cases and 1 undo
    assert.match(text, /,移出黑名单,/);
  });

  await check('on a phone the filters wrap and the table scrolls inside its box', async () => {
    await page.setViewportSize({ width: 390, height: 800 });
    await openCases();
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    assert.ok(width <= 390 + 1, 'the page is wider than the phone: ' + width);
    await page.screenshot({ path: path.join(shots, 'cases-手机.png') });
  });

  await check('no script errors', async () => assert.deepEqual(consoleErrors, [], consoleErrors.join('\n')));
} finally {
  await close();
}
finish();
