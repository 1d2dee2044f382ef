// Browser tests of 试一试 and of the login by password: a banned word typed in
// the sandbox shows the kick, and the real data directory (database
// included) stays byte for byte as it was.
//   node sandbox.test.mjs PROGRAM [SCREENSHOT_DIR]
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { check, finish, freePort, makeHome, openPanel, program, shots, snapshot } from './harness.mjs';

const { home, base, page, consoleErrors, login, close } = await openPanel();

try {
  await login();

  await check('the sandbox shows the kick of a banned-word message and the real database is unchanged', async () => {
    await page.goto(base + '#广告检测');
    const adCheck = page.locator('input[data-name="选择框_开启广告检测"]');
    await adCheck.check();
    await page.locator('input[data-name="选择框_开启广告检测"]:checked').waitFor();
    await page.waitForTimeout(300);  // the change and its save answered
    const before = snapshot(home);
    assert.ok(Object.keys(before).some((f) => f.endsWith('brindlewarden.db')), 'the database exists');

    await page.click('#pages a:text-is("试一试")');
    await page.locator('#sandbox-group').waitFor();
    assert.equal(await page.locator('#sandbox-group').inputValue(), '101');  // the first managed group
    await page.fill('#sandbox-account', '20001');
    await page.fill('#sandbox-text', '加我微信');
    await page.click('#sandbox-run');
    const kick = page.locator('#sandbox-calls li[data-action="set_group_kick"]');
    await kick.waitFor();
    assert.match(await kick.textContent(), /将 20001 踢出群 101/);
    assert.match(await page.locator('#sandbox-runlog').textContent(), /20001踢出 群101/);
    await page.screenshot({ path: path.join(shots, '9-试一试.png'), fullPage: true });
    assert.deepEqual(snapshot(home), before);
  });

  await check('a join is welcomed in the sandbox; an unknown account number is refused with its label', async () => {
    await page.selectOption('#sandbox-kind', 'join');
    await page.locator('#sandbox-inviter').waitFor();
    assert.equal(await page.locator('#sandbox-text').count(), 0);
    await page.fill('#sandbox-account', '30001');
    await page.click('#sandbox-run');
    await page.locator('#sandbox-calls li[data-action="send_group_msg"]', { hasText: '欢迎进群' }).waitFor();
    await page.fill('#sandbox-account', 'abc');
    await page.click('#sandbox-run');
    await page.locator('#sandbox-output .error', { hasText: 'QQ号' }).waitFor();
  });

  await check('no script error and no policy violation in the console', async () => {
    assert.deepEqual(consoleErrors, []);
  });
} finally {
  await close();
}

// The login page once the owner has set a password: it asks for the password.
await check('with a password set, the login page asks for it and the token is refused', async () => {
  const { home: pwHome } = makeHome();
  const set = spawnSync(program, ['panel-password', '--home', pwHome], { input: '青榆 correct horse\n' });
  assert.equal(set.status, 0, String(set.stderr));
  const port = await freePort();
  const child = spawn(program, ['panel', '--home', pwHome, '--panel', String(port)], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  const browser = await chromium.launch({ executablePath: process.env.BW_CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
  try {
    for (let i = 0; i < 200 && !out.includes('log in with the password'); i++) await new Promise((r) => setTimeout(r, 50));
    assert.match(out, /log in with the password/);
    const token = fs.readFileSync(path.join(pwHome, 'panel.token'), 'utf8').trim();
    const p = await (await browser.newContext({ viewport: { width: 1100, height: 720 }, locale: 'zh-CN' })).newPage();
    await p.goto(`http://127.0.0.1:${port}/`);
    await p.locator('#login-caption', { hasText: '密码' }).waitFor();
    await p.screenshot({ path: path.join(shots, '0-登录-密码.png') });
    await p.fill('#login-token', token);
    await p.click('#login-form button');
    await p.locator('#login-error', { hasText: '密码不正确' }).waitFor();
    await p.fill('#login-token', '青榆 correct horse');
    await p.click('#login-form button');
    await p.locator('#pages a').first().waitFor();
  } finally {
    await browser.close();
    child.kill('SIGTERM');
    await new Promise((r) => child.once('exit', r));
    fs.rmSync(pwHome, { recursive: true, force: true });
  }
});

finish();
