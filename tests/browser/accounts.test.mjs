// Browser tests of the account switcher: one panel login for the data of two
// accounts, each page showing the chosen account's own options.
//   node accounts.test.mjs PROGRAM [SCREENSHOT_DIR]
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';
import { check, finish, freePort, makeHome, shots, startPanel } from './harness.mjs';

// Account 10000 (the harness's home) welcomes newcomers; account 222222
// does not, asks for level 25 and manages two groups of its own.
const { home } = makeHome();
const other = path.join(home, 'data', '222222');
fs.mkdirSync(path.join(other, '群数据'), { recursive: true });
fs.writeFileSync(path.join(other, '群列表.txt'), '{1}1----900----另一个群----群主\r\n{0}2----901----第二个群----管理员\r\n');
fs.writeFileSync(path.join(other, 'setsoft.ini'), '[选择框]\r\n选择框_开启进群欢迎=假\r\n[编辑框]\r\n编辑框_进群等级=25\r\n');

const port = await freePort();
const panel = await startPanel(home, port);
const base = `http://127.0.0.1:${port}/`;
const browser = await chromium.launch({ executablePath: process.env.BW_CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
const context = await browser.newContext({ viewport: { width: 1100, height: 720 }, locale: 'zh-CN' });
const page = await context.newPage();
const errors = [];
page.on('pageerror', (e) => errors.push(String(e)));

const welcome = () => page.locator('[data-name="选择框_开启进群欢迎"]');
async function show(account) {
  await page.click(`#accounts button[data-account="${account}"]`);
  await page.locator('#shown-account').filter({ hasText: '账号 ' + account }).waitFor();
}

try {
  await check('the switcher lists both accounts under one login, the first one shown', async () => {
    await page.goto(panel.loginUrl);
    await page.locator('#accounts button').nth(1).waitFor();
    assert.deepEqual(await page.locator('#accounts button').evaluateAll((b) => b.map((x) => x.dataset.account)), ['10000', '222222']);
    await page.locator('#shown-account').filter({ hasText: '账号 10000' }).waitFor();
    assert.equal(await page.locator('#accounts button[aria-current="true"]').getAttribute('data-account'), '10000');
    // Each row names its account and its state, for the eye and for screen readers.
    const name = await page.locator('#accounts button[data-account="222222"]').evaluate((b) => b.textContent);
    assert.match(name, /222222/);
    assert.match(name, /离线配置/);
  });

  await check('each account shows its own options, and a change stays with its account', async () => {
    await page.goto(base + '#进群欢迎');
    await welcome().waitFor();
    assert.equal(await welcome().isChecked(), true);
    await show('222222');
    await page.waitForFunction(() => document.querySelector('[data-name="选择框_开启进群欢迎"]')?.checked === false);
    await page.goto(base + '#群设置');
    await page.locator('td', { hasText: '另一个群' }).waitFor();
    assert.equal(await page.locator('td', { hasText: '群1' }).count(), 0);
    await page.screenshot({ path: path.join(shots, 'accounts-1-第二个账号.png') });
    await page.goto(base + '#广告检测');
    await page.goto(base + '#进群欢迎');
    await welcome().waitFor();
    // Listening before the click: the answer may come before the click returns.
    const saved = page.waitForResponse((r) => r.url().endsWith('/api/settings') && r.status() === 200);
    await welcome().check();
    await saved;
    await show('10000');
    await page.goto(base + '#群设置');
    await page.locator('td', { hasText: '群12' }).waitFor();
    assert.equal(await page.locator('td', { hasText: '另一个群' }).count(), 0);
  });

  await check('the run log and the status strip follow the account shown', async () => {
    await show('222222');
    await page.goto(base + '#运行日志');
    await page.locator('#log-body tr', { hasText: '开启进群欢迎' }).first().waitFor();
    await show('10000');
    await page.locator('#log-body').waitFor();
    await page.waitForTimeout(600);  // a poll or more
    assert.equal(await page.locator('#log-body tr', { hasText: '开启进群欢迎' }).count(), 0);
    assert.equal(await page.locator('#account-number').textContent(), '10000');
  });

  await check('on a phone the switcher is in the menu drawer', async () => {
    await page.setViewportSize({ width: 390, height: 800 });
    await page.goto(base + '#功能状态');
    await page.click('#menu-button');
    await page.locator('#accounts button[data-account="222222"]').waitFor({ state: 'visible' });
    await page.waitForTimeout(400);  // the drawer's slide
    await page.screenshot({ path: path.join(shots, 'accounts-2-手机菜单.png') });
    await page.click('#accounts button[data-account="222222"]');
    await page.locator('#shown-account').filter({ hasText: '账号 222222' }).waitFor();
    assert.equal(await page.locator('#app').evaluate((a) => a.classList.contains('nav-open')), false);
  });

  await check('no script error on the way', async () => {
    assert.deepEqual(errors, []);
  });
} finally {
  await browser.close();
  panel.child.kill('SIGTERM');
  await new Promise((r) => panel.child.once('exit', r));
  const saved = (a) => fs.readFileSync(path.join(home, 'data', a, 'setsoft.ini'), 'utf8');
  await check('the stop saved each account in its own folder', async () => {
    assert.match(saved('222222'), /选择框_开启进群欢迎=真/);
    assert.match(saved('222222'), /编辑框_进群等级=25/);
    assert.match(saved('10000'), /选择框_开启进群欢迎=真/);
  });
  fs.rmSync(home, { recursive: true, force: true });
}
finish();
