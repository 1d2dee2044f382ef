// Browser tests of 消息记录 and 试一试历史: messages kept by the robot (fed
// through `replay` over the home), a group opted in and out in the page, an
// edited rule tried on the kept messages with its counts and cases shown, a
// range over 30 days refused in plain Chinese — and the home, database
// included, byte for byte as it was after every try.
//   node history.test.mjs PROGRAM [SCREENSHOT_DIR]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, makeHome, openPanel, program, shots, snapshot } from './harness.mjs';

const message = (user, text) => JSON.stringify({
  post_type: 'message', message_type: 'group', group_id: 101, user_id: user, message: text,
});

// Group 101 keeps 30 days; three members speak, two of them advertise.
const { home } = makeHome();
const lines = [
  JSON.stringify({ set: { 编辑框_消息记录: '101:30' } }),
  message(20001, '大家好'),
  message(20002, '加我微信 领福利'),
  message(20003, '今天天气不错'),
  message(20002, '加 我 微 信'),
  message(20004, '加我微信，便宜'),
  message(20001, '晚安'),
];
const replay = spawnSync(program, ['replay', '--home', home], { input: lines.join('\n') + '\n' });
assert.equal(replay.status, 0, String(replay.stderr));

const { page, consoleErrors, login, close } = await openPanel({ home, viewport: { width: 1100, height: 900 } });

const rule = {
  id: 'try1', name: '广告词', state: 'off', groups: 'all',
  trigger: { kind: 'words', words: [{ text: '加我微信', mode: 'contains' }], allow: [] },
  newcomerDays: 0,
  actions: [{ kind: 'recall' }, { kind: 'points', count: 1 }],
};

try {
  await login();
  await page.click('#pages a:text-is("试一试")');

  await check('消息记录 shows the kept messages and opts a group in and out', async () => {
    const row101 = page.locator('#history-groups tr[data-group="101"]');
    await row101.waitFor();
    assert.equal(await row101.locator('.history-kept').textContent(), '6');
    assert.equal(await row101.locator('.history-days').inputValue(), '30');
    const row102 = page.locator('#history-groups tr[data-group="102"] .history-days');
    await row102.fill('7');
    await row102.dispatchEvent('change');
    await page.locator('#history-groups tr[data-group="102"] .history-days[value="7"]').waitFor();
    // A group that is not managed cannot keep messages.
    assert.equal(await page.locator('#history-groups tr[data-group="104"] .history-days').isDisabled(), true);
    await row102.fill('31');
    await row102.dispatchEvent('change');
    await page.locator('.history-error', { hasText: '保留天数必须是 0 到 30 之间的整数' }).waitFor();
    const ini = fs.readFileSync(path.join(home, 'data', '10000', 'setsoft.ini'), 'utf8');
    assert.match(ini, /编辑框_消息记录=101:30\+102:7/);
  });

  await check('an edited rule tried on the history shows its counts and cases; nothing changes', async () => {
    const before = snapshot(home);
    assert.ok(Object.keys(before).some((f) => f.endsWith('brindlewarden.db')), 'the database exists');
    await page.selectOption('#history-group', '101');
    await page.selectOption('#history-mode', 'rule');
    await page.fill('#history-rule', JSON.stringify(rule, null, 2));
    await page.click('#history-run');
    await page.locator('#history-summary', { hasText: '试了 6 条消息, 会产生 3 个处罚记录' }).waitFor();
    assert.equal(await page.locator('#history-per-rule tr[data-rule="广告词"] td').nth(1).textContent(), '3');
    assert.equal(await page.locator('#history-per-member tr[data-member="20002"] td').nth(1).textContent(), '2');
    assert.equal(await page.locator('#history-per-member tr[data-member="20004"] td').nth(1).textContent(), '1');
    const cases = page.locator('#history-cases tbody tr');
    assert.equal(await cases.count(), 3);
    assert.match(await cases.nth(1).textContent(), /20002.*广告词.*加 我 微 信/);
    assert.match(await cases.nth(1).textContent(), /警告点\+1 \(共 2\)/);
    await page.locator('#history').screenshot({ path: path.join(shots, '9-试一试历史.png') });
    assert.deepEqual(snapshot(home), before);
  });

  await check('a range over 30 days and a rule that does not hold are refused in plain Chinese', async () => {
    await page.fill('#history-from', '2026-01-01');
    await page.fill('#history-to', '2026-03-01');
    await page.click('#history-run');
    await page.locator('#history-output .error', { hasText: '日期范围最多 30 天' }).waitFor();
    const today = new Date();
    const day = (d) => d.toISOString().slice(0, 10);
    await page.fill('#history-from', day(new Date(today.getTime() - 86400000 * 2)));
    await page.fill('#history-to', day(new Date(today.getTime() + 86400000)));
    await page.fill('#history-rule', JSON.stringify({ ...rule, trigger: { kind: 'words', words: [], allow: [] } }));
    await page.click('#history-run');
    await page.locator('#history-output .error', { hasText: '规则有误' }).waitFor();
    await page.screenshot({ path: path.join(shots, '9-试一试历史-拒绝.png'), fullPage: true });
  });

  await check('a rule being edited in 自动管理 is tried on the history before it is saved', async () => {
    const before = snapshot(home);
    await page.click('#pages a:text-is("自动管理")');
    await page.click('#automod-add');
    await page.fill('#rule-name', '草稿');
    await page.getByLabel('第 1 个词', { exact: true }).fill('加我微信');
    await page.click('#rule-try-history');
    await page.locator('#history-rule').waitFor();
    assert.equal(decodeURIComponent(new URL(page.url()).hash.slice(1)), '试一试');
    assert.match(await page.locator('#history-rule').inputValue(), /"name": "草稿"/);
    await page.selectOption('#history-group', '101');
    await page.click('#history-run');
    // 20002 twice and 20004 once; the draft was never saved.
    await page.locator('#history-summary, #history-output .error').first().waitFor();
    assert.match(await page.locator('#history-output').textContent(), /会产生 3 个处罚记录/);
    assert.equal(await page.locator('#history-per-rule tr[data-rule="草稿"] td').nth(1).textContent(), '3');
    assert.deepEqual(snapshot(home), before);
  });

  await check('no script error in the console', async () => {
    assert.deepEqual(consoleErrors, []);
  });
} finally {
  await close();
}

finish();
