// Browser tests of what the panel's changes mean: a radio group switches back
// and forth as one group (page and file), an emptied box with a default
// shows the default at once with a message beside it, and 自动管理 keeps what
// its form shows (durations in their unit, the groups a rule applies to).
//   node semantics.test.mjs PROGRAM [SCREENSHOT_DIR]
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, openPanel, shots } from './harness.mjs';

const { data, base, page, consoleErrors, login, close } = await openPanel();

// The [单选框] lines of setsoft.ini as name → 真/假.
function storedRadios() {
  const ini = fs.readFileSync(path.join(data, 'setsoft.ini'), 'utf8');
  const section = ini.split('[单选框]')[1] || '';
  return Object.fromEntries([...section.matchAll(/^(单选框_[^=\r\n]+)=(\S+)/gm)].map((m) => [m[1], m[2]]));
}
async function waitForFile(expected) {
  for (let i = 0; i < 60; i++) {
    const stored = storedRadios();
    if (Object.entries(expected).every(([k, v]) => stored[k] === v)) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  assert.fail('setsoft.ini never held ' + JSON.stringify(expected) + ': ' + JSON.stringify(storedRadios()));
}
async function checkedRadios(names) {
  const out = {};
  for (const n of names) out[n] = await page.locator(`input[data-name="${n}"]`).isChecked();
  return out;
}

try {
  await login();

  await check('广告检测: 禁言 then 踢人 again: one box selected in the page and one 真 in the file each time', async () => {
    await page.goto(base + '#广告检测');
    const kick = page.locator('input[data-name="单选框_踢人"]');
    const mute = page.locator('input[data-name="单选框_禁言"]');
    await kick.waitFor();
    for (const [on, off] of [['单选框_禁言', '单选框_踢人'], ['单选框_踢人', '单选框_禁言'], ['单选框_禁言', '单选框_踢人'], ['单选框_踢人', '单选框_禁言']]) {
      await page.locator(`input[data-name="${on}"]`).click();
      await waitForFile({ [on]: '真', [off]: '假' });
      assert.deepEqual(await checkedRadios([on, off]), { [on]: true, [off]: false });
    }
    assert.equal(await kick.isChecked(), true);
    assert.equal(await mute.isChecked(), false);
    // Drawn again from the service, the page still agrees.
    await page.reload();
    await kick.waitFor();
    assert.deepEqual(await checkedRadios(['单选框_踢人', '单选框_禁言']), { 单选框_踢人: true, 单选框_禁言: false });
  });

  await check('进群欢迎: the three welcome boxes are one group', async () => {
    await page.goto(base + '#进群欢迎');
    const names = ['单选框_只发群', '单选框_只发私聊', '单选框_两者都发'];
    await page.locator(`input[data-name="${names[0]}"]`).waitFor();
    for (const on of ['单选框_两者都发', '单选框_只发私聊', '单选框_只发群']) {
      await page.locator(`input[data-name="${on}"]`).click();
      await waitForFile(Object.fromEntries(names.map((n) => [n, n === on ? '真' : '假'])));
      assert.deepEqual(await checkedRadios(names), Object.fromEntries(names.map((n) => [n, n === on])));
    }
  });

  await check('an emptied 踢人关键词 shows its default words at once and says so beside the box', async () => {
    await page.goto(base + '#广告检测');
    const words = page.locator('textarea[data-name="编辑框_踢人关键词"]');
    await words.waitFor();
    await page.locator('.note', { hasText: '不想用它请取消勾选「关键词踢人/禁言」' }).waitFor();
    const shipped = await words.inputValue();
    assert.match(shipped, /^微信\+v信\+QQ/);
    await words.fill('');
    await words.press('Tab');
    const note = page.locator('[data-restored="编辑框_踢人关键词"]');
    await note.waitFor({ timeout: 3000 });
    assert.match(await note.textContent(), /已恢复默认值/);
    assert.equal(await words.inputValue(), shipped);
    assert.equal(await page.locator('#dialog[open]').count(), 0);
    await note.scrollIntoViewIfNeeded();
    await page.screenshot({ path: path.join(shots, 'semantics-恢复默认值.png') });
    const ini = fs.readFileSync(path.join(data, 'setsoft.ini'), 'utf8');
    assert.match(ini, /编辑框_踢人关键词=微信\+v信\+QQ/);
  });

  await check('自动管理: a mute typed in hours is kept in seconds and drawn back in hours; 所有监控的群 and 选定的群 are one choice', async () => {
    const file = path.join(data, 'automod.txt');
    const rule = () => JSON.parse(fs.readFileSync(file, 'utf8').split(/^\[规则 [^\]]+\]$/m)[1]);
    await page.goto(base + '#自动管理');
    await page.locator('#automod-add').click();
    await page.fill('#rule-name', '时长');
    await page.getByLabel('第 1 个词', { exact: true }).fill('时长测试');
    await page.getByLabel('第 1 个动作', { exact: true }).selectOption('mute');
    await page.getByLabel('第 1 个动作的禁言时长', { exact: true }).fill('2');
    await page.getByLabel('第 1 个动作的禁言时长的单位').selectOption('3600');
    await page.getByLabel('选定的群').check();
    await page.getByLabel('102 群2').check();
    await page.getByLabel('103 群3').check();
    await page.getByLabel('102 群2').uncheck();
    await page.click('#rule-save');
    await page.locator('.automod-rule', { hasText: '时长' }).waitFor();
    assert.deepEqual(rule().actions, [{ kind: 'mute', seconds: 7200 }]);
    assert.deepEqual(rule().groups, [103]);
    assert.match(await page.locator('.automod-rule').textContent(), /禁言 2 小时/);
    assert.match(await page.locator('.automod-rule').textContent(), /群 103/);

    await page.getByRole('button', { name: '编辑规则「时长」' }).click();
    assert.equal(await page.getByLabel('第 1 个动作的禁言时长', { exact: true }).inputValue(), '2');
    assert.equal(await page.getByLabel('第 1 个动作的禁言时长的单位').inputValue(), '3600');
    assert.equal(await page.getByLabel('选定的群').isChecked(), true);
    assert.equal(await page.getByLabel('103 群3').isChecked(), true);
    await page.getByLabel('所有监控的群').check();
    assert.equal(await page.getByLabel('选定的群').isChecked(), false);
    await page.click('#rule-save');
    await page.locator('#rule-save').waitFor({ state: 'detached' });
    assert.equal(rule().groups, 'all');
  });

  await check('no script errors', async () => {
    assert.deepEqual(consoleErrors, []);
  });
} finally {
  await close();
}
finish();
