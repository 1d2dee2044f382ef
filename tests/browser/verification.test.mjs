// Browser test of 自动管理/入群验证: the settings saved as one form (refused
// inputs say what to fix and change no stored byte), the owner's questions,
// and the pass button on a newcomer that `replay` left pending.
//   node verification.test.mjs PROGRAM [SCREENSHOT_DIR]
import { chromium } from 'playwright-core';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, freePort, makeHome, program, shots, startPanel } from './harness.mjs';

const browserPath = process.env.BW_CHROMIUM || '/usr/bin/chromium';

// Runs `replay` over the home from `clock` with these event lines; its printed calls.
function replay(home, clock, lines) {
  const r = spawnSync(program, ['replay', '--home', home, '--clock', clock], { input: lines.map((l) => JSON.stringify(l)).join('\n') + '\n', encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  return r.stdout.split('\n').filter(Boolean).map((l) => JSON.parse(l));
}

const join = (member) => ({ post_type: 'notice', notice_type: 'group_increase', sub_type: 'approve', group_id: 101, operator_id: 1, user_id: member });
let nextId = 100;
const say = (member, text) => ({ post_type: 'message', message_type: 'group', sub_type: 'normal', message_id: ++nextId, group_id: 101, user_id: member, message: text, font: 0 });

const { home, data } = makeHome();
// Two newcomers of group 101 asked and not answered: the panel finds them pending.
const asked = replay(home, '2026-12-08 10:00:00', [{ set: { 选择框_开启入群验证: true, 编辑框_入群验证群: '101' } }, join(30001), join(30002)])
  .filter((c) => c.action === 'send_group_msg' && c.params.message.includes('内直接发送答案'));
assert.equal(asked.length, 2, JSON.stringify(asked));

const port = await freePort();
const panel = await startPanel(home, port);
const base = `http://127.0.0.1:${port}/`;
const browser = await chromium.launch({ executablePath: browserPath, args: ['--no-sandbox'] });
const page = await (await browser.newContext({ viewport: { width: 1100, height: 900 }, locale: 'zh-CN' })).newPage();
const consoleErrors = [];
page.on('console', (m) => {
  if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) consoleErrors.push(m.text());
});
page.on('pageerror', (e) => consoleErrors.push(String(e)));
const settingsFile = path.join(data, 'setsoft.ini');
const tab = async () => {
  await page.goto(base + '#' + encodeURIComponent('自动管理'));
  await page.locator('.tabs button:text-is("入群验证")').click();
  await page.locator('#verify-save').waitFor();
};

try {
  await page.goto(panel.loginUrl);
  await page.locator('#pages a').first().waitFor();

  await check('the tab shows the settings replay left and both pending newcomers', async () => {
    await tab();
    assert.equal(await page.locator('#verify-on').isChecked(), true);
    assert.equal(await page.locator('input[data-group="101"]').isChecked(), true);
    assert.equal(await page.locator('input[data-group="102"]').isChecked(), false);
    assert.equal(await page.locator('#verify-arithmetic').isChecked(), true);
    assert.equal(await page.locator('#verify-minutes').inputValue(), '5');
    const rows = page.locator('table.verify-pending tbody tr');
    assert.equal(await rows.count(), 2);
    assert.deepEqual(await rows.evaluateAll((trs) => trs.map((t) => t.dataset.member).sort()), ['30001', '30002']);
    // The question asked is the one shown.
    const first = asked.find((c) => c.params.message.includes('qq=30001')).params.message;
    const question = await page.locator('tr[data-member="30001"] td').nth(2).textContent();
    assert.ok(first.includes(question), first + ' / ' + question);
    await page.screenshot({ path: path.join(shots, 'verification-1-待验证.png'), fullPage: true });
  });

  await check('refused inputs say what to fix and leave the settings file as it was', async () => {
    const before = fs.readFileSync(settingsFile);
    const cases = [
      [async () => page.fill('#verify-minutes', '0'), '回答时限必须是 1 到 1440 之间的整数 (分钟)'],
      [async () => { await page.fill('#verify-minutes', '10'); await page.fill('#verify-wrong', '十'); }, '答错几次踢出必须是 1 到 10 之间的整数'],
      [async () => { await page.fill('#verify-wrong', '2'); await page.check('#verify-own'); }, '使用自定义问题时, 请至少写一个问题和它的答案'],
      [async () => {
        await page.click('#verify-add-question');
        await page.locator('.vq-question').last().fill('本群的主题是什么？');
      }, '第 1 个自定义问题还没有答案, 请至少写一个答案'],
      [async () => {
        await page.locator('.vq-answers').last().fill('青榆 | qingyu');
        await page.uncheck('input[data-group="101"]');
      }, '开启入群验证时, 请至少选择一个要验证的群'],
      [async () => { await page.check('input[data-group="101"]'); await page.fill('#verify-command', ''); }, '放行命令不能留空'],
    ];
    for (const [act, message] of cases) {
      await act();
      await page.click('#verify-save');
      await page.locator('#verify-error', { hasText: message }).waitFor({ timeout: 5000 });
      assert.equal(await page.locator('#verify-saved').textContent(), '');
      assert.deepEqual(fs.readFileSync(settingsFile), before, 'nothing saved after: ' + message);
    }
    await page.screenshot({ path: path.join(shots, 'verification-2-拒绝.png'), fullPage: true });
  });

  await check('a valid form is saved whole and drawn again as saved', async () => {
    await page.fill('#verify-command', '放行');
    await page.check('#verify-refuse');
    await page.check('input[data-group="102"]');
    await page.click('#verify-save');
    await page.locator('#verify-saved', { hasText: '已保存' }).waitFor();
    assert.equal(await page.locator('#verify-error').textContent(), '');
    const ini = fs.readFileSync(settingsFile, 'utf8');
    for (const line of ['编辑框_入群验证时限=10', '编辑框_入群验证答错次数=2', '选择框_入群验证拒绝再加群=真',
      '选择框_入群验证自定义问题=真', '编辑框_入群验证群=101+102', '编辑框_入群验证放行命令=放行',
      '编辑框_入群验证问题=本群的主题是什么？|青榆|qingyu'])
      assert.ok(ini.includes(line), line + ' in\n' + ini);
    await tab();
    assert.equal(await page.locator('#verify-minutes').inputValue(), '10');
    assert.equal(await page.locator('#verify-own').isChecked(), true);
    assert.equal(await page.locator('.vq-answers').first().inputValue(), '青榆 | qingyu');
    assert.equal(await page.locator('input[data-group="102"]').isChecked(), true);
    await page.screenshot({ path: path.join(shots, 'verification-3-已保存.png'), fullPage: true });
  });

  await check('the pass button lets one newcomer in and leaves the other pending', async () => {
    await page.locator('button[aria-label="放行 30001"]').click();
    await page.locator('tr[data-member="30001"]').waitFor({ state: 'detached' });
    assert.equal(await page.locator('table.verify-pending tbody tr').count(), 1);
    await page.locator('tr[data-member="30002"]').waitFor();
    // Passing someone no longer pending says so.
    const res = await page.evaluate(async () => (await api('POST', '/api/verification/pass', { group: '101', member: '30001' })));
    assert.equal(res.status, 404);
    assert.match(res.data.error, /已不在待验证名单中/);
    // The case names the panel (the robot's own account) as the one who let them in, not the rules.
    const cases = await page.evaluate(async () => (await api('GET', '/api/cases?member=30001&action=' + encodeURIComponent('验证通过'))).data);
    assert.equal(cases.cases.length, 1);
    assert.equal(cases.cases[0].actor, 10000);
    assert.equal(cases.cases[0].actorText, '面板');
    await page.screenshot({ path: path.join(shots, 'verification-4-放行.png'), fullPage: true });
  });

  await check('no script errors in the console', async () => assert.deepEqual(consoleErrors, []));
} finally {
  await browser.close();
  panel.child.kill('SIGTERM');
  await new Promise((r) => panel.child.once('exit', r));
}

await check('after the panel, the passed newcomer speaks freely and the other is still recalled', async () => {
  const calls = replay(home, '2026-12-08 10:01:00', [say(30001, '大家好'), say(30002, '大家好')]);
  const recalled = calls.filter((c) => c.action === 'delete_msg').map((c) => c.params.message_id);
  assert.deepEqual(recalled, [nextId], JSON.stringify(calls));
});
fs.rmSync(home, { recursive: true, force: true });
finish();
