// What the browser tests of the panel share: a home of twelve listed groups,
// `brindle-warden panel` started on a free port of 127.0.0.1, Debian's Chromium
// driven by playwright-core, and the check/report helpers.
// Each *.test.mjs file in this folder is run as
//   node FILE.test.mjs PROGRAM [SCREENSHOT_DIR]
// and exits 0 when every check passed.
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

export const program = path.resolve(process.argv[2] || '../../build/apps/brindle-warden');
export const shots = path.resolve(process.argv[3] || '../../build/panel-screenshots');
const browserPath = process.env.BW_CHROMIUM || '/usr/bin/chromium';
fs.mkdirSync(shots, { recursive: true });

export const GREY = 'rgb(128, 128, 128)';
export const GREEN = 'rgb(0, 128, 0)';

export function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// A home with twelve listed groups, three of them ticked.
export function makeHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'bw-panel-'));
  const data = path.join(home, 'data', '10000');
  fs.mkdirSync(path.join(data, '群数据'), { recursive: true });
  let list = '';
  for (let i = 1; i <= 12; i++) list += `{${i <= 3 ? 1 : 0}}${i}----${100 + i}----群${i}----管理员\r\n`;
  fs.writeFileSync(path.join(data, '群列表.txt'), list);
  fs.writeFileSync(path.join(data, 'setsoft.ini'), '[选择框]\r\n选择框_开启进群欢迎=真\r\n');
  return { home, data };
}

// Every file below `dir` with a hash of its bytes, to show that a try left the
// home as it was; the database's shared-memory index (-shm) holds read marks,
// no data.
export function snapshot(dir) {
  const out = {};
  for (const entry of fs.readdirSync(dir, { recursive: true, withFileTypes: true })) {
    if (!entry.isFile() || entry.name.endsWith('-shm')) continue;
    const file = path.join(entry.parentPath ?? entry.path, entry.name);
    out[path.relative(dir, file)] = crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
  }
  return out;
}

export function startPanel(home, port) {
  const child = spawn(program, ['panel', '--home', home, '--panel', String(port)], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { out += d; });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('panel did not start:\n' + out)), 20000);
    const check = setInterval(() => {
      const m = out.match(/open (http:\/\/\S+\/login\?token=[0-9a-f]+)/);
      if (m) { clearTimeout(timer); clearInterval(check); resolve({ child, loginUrl: m[1], log: () => out }); }
    }, 50);
    child.on('exit', (code) => reject(new Error('panel exited with ' + code + ':\n' + out)));
  });
}

const results = [];
export async function check(name, fn) {
  try {
    await fn();
    results.push(['ok', name]);
    console.log('ok   ' + name);
  } catch (e) {
    results.push(['FAIL', name]);
    console.log('FAIL ' + name + '\n' + (e.stack || e));
  }
}

export async function statusLabel(page, label) {
  const el = page.locator(`[data-label="${label}"]`);
  return { text: await el.textContent(), color: await el.evaluate((n) => getComputedStyle(n).color) };
}

// A running panel on a home (a fresh one unless `home` names one, e.g. a home
// `replay` has filled) and a browser page on it, logged in by login().
export async function openPanel({ home: given, viewport = { width: 1100, height: 720 } } = {}) {
  const { home, data } = given ? { home: given, data: path.join(given, 'data', '10000') } : makeHome();
  const port = await freePort();
  const panel = await startPanel(home, port);
  const base = `http://127.0.0.1:${port}/`;
  const token = panel.loginUrl.split('token=')[1];
  const browser = await chromium.launch({ executablePath: browserPath, args: ['--no-sandbox'] });
  const context = await browser.newContext({ viewport, locale: 'zh-CN' });
  const page = await context.newPage();
  const consoleErrors = [];
  // Refused requests (401 before login, 400 for a bad value) are expected answers, not errors.
  page.on('console', (m) => {
    if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) consoleErrors.push(m.text());
  });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  async function login() {
    await page.goto(panel.loginUrl);
    await page.locator('#pages a').first().waitFor();
  }
  async function close() {
    await browser.close();
    panel.child.kill('SIGTERM');
    await new Promise((r) => panel.child.once('exit', r));
    fs.rmSync(home, { recursive: true, force: true });
  }
  return { home, data, port, base, token, panel, browser, context, page, consoleErrors, login, close };
}

// Prints the tally and ends the process with its verdict.
export function finish() {
  const failed = results.filter(([s]) => s === 'FAIL').length;
  console.log(`${results.length - failed} passed, ${failed} failed; screenshots in ${shots}`);
  process.exit(failed ? 1 : 0);
}
