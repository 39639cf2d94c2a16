// The desktop side of the interface against the native build: feedback
// (client-side checks and the server's messages), rights and elevation,
// shortcuts, the update check, and exit. Answers of the desktop endpoints
// that depend on the machine or the network (elevation, update, feedback
// delivery) are supplied by the test in their documented shapes; exit is
// the real one.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  NATIVE_BIN, startNative, openBrowser, closeBrowser, loadPage, shot, tempDir, writeTree, USER, sleep, requestsSettled,
} from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'desktop browser tests') ? false : 'the native build is not under test';

let root;
let server;
let browser;
let page;
const requests = [];

before(async () => {
  if (skip) return;
  root = tempDir('tamsel-desk-');
  fs.mkdirSync(path.join(root, 'c'));
  writeTree(path.join(root, 'c'), [
    { path: `Users\\${USER}\\AppData\\Local\\Temp\\a.tmp`, size: 1000 },
    { path: 'hiberfil.sys', size: 4 * 1024 * 1024 },
  ]);
  server = await startNative(root);
  browser = await openBrowser();
  page = browser.page;
  page.on('request', (r) => requests.push({ url: r.url(), body: r.postData() }));
});

after(async () => {
  if (browser) await closeBrowser(browser.context);
  if (server) await server.stop();
});

const calls = (p) => requests.filter((r) => new URL(r.url).pathname === p);
const text = async (sel) => ((await page.locator(sel).first().textContent()) ?? '').trim();
const waitText = (sel, re, timeout = 10_000) => page.waitForFunction(
  ([s, src]) => { const el = document.querySelector(s); return !!el && new RegExp(src).test(el.textContent); },
  [sel, re.source], { timeout });

// Answers `p` with `json` (or a 404 like an absent endpoint) from now on.
async function answer(p, json) {
  await page.unroute(`**${p}`);
  await page.route(`**${p}`, (route) => (json === 404
    ? route.fulfill({ status: 404, contentType: 'application/json; charset=utf-8', body: '{"code":404,"message":"no such api"}' })
    : route.fulfill({ json })));
}

test('feedback: empty and over-long texts are refused before anything is sent', { skip }, async () => {
  await loadPage(page, server);
  await page.focus('#btn-feedback');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#dlg-feedback[open]');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'fb-text');
  // Every control of the form has a label.
  for (const id of ['fb-text', 'fb-contact']) {
    assert.ok(await page.$eval(`#${id}`, (e) => e.labels.length > 0), id);
  }
  assert.deepEqual(await page.$$eval('input[name=kind]', (l) => l.map((e) => e.value)), ['bug', 'idea', 'other']);

  await page.click('#fb-send');
  assert.equal(await text('#fb-msg'), '请先写点什么再提交。');
  await page.fill('#fb-text', '   \n\t  ');
  await page.click('#fb-send');
  assert.equal(await text('#fb-msg'), '请先写点什么再提交。');

  // The limit counts code points: 1800 characters outside the BMP are 3600
  // UTF-16 units and still allowed; one more is refused.
  const wide = '\u{20000}';
  await page.fill('#fb-text', wide.repeat(1800));
  assert.equal(await text('#fb-count'), '1800 / 1800 字');
  assert.equal(await page.$eval('#fb-count', (e) => e.classList.contains('over')), false);
  await page.fill('#fb-text', wide.repeat(1800) + '多');
  assert.equal(await text('#fb-count'), '1801 / 1800 字，超出 1 字');
  assert.equal(await page.$eval('#fb-count', (e) => e.classList.contains('over')), true);
  await page.click('#fb-send');
  assert.match(await text('#fb-msg'), /^内容太长了（上限 1800 字）/);
  await shot(page, '20-feedback-too-long');
  await requestsSettled(page);
  assert.equal(calls('/api/feedback').length, 0, 'a refused text reached the program');

  // Live count while typing.
  await page.fill('#fb-text', '');
  await page.type('#fb-text', '扫描很快');
  assert.equal(await text('#fb-count'), '4 / 1800 字');
});

test('feedback: what is sent, and the server\'s messages as they come', { skip }, async () => {
  await answer('/api/feedback', { ok: false, message: '提交太频繁了，过十分钟再试', fallback: true });
  await page.check('input[name=kind][value=idea]');
  await page.fill('#fb-contact', ' me@example.com ');
  await page.click('#fb-send');
  await waitText('#fb-msg', /^提交太频繁了，过十分钟再试$/);
  const sent = JSON.parse(calls('/api/feedback').at(-1).body);
  assert.deepEqual(sent, { text: '扫描很快', contact: 'me@example.com', kind: 'idea' });
  // The text stays for another try.
  assert.equal(await page.inputValue('#fb-text'), '扫描很快');

  await answer('/api/feedback', { ok: false, message: '服务器返回 503', fallback: true });
  await page.click('#fb-send');
  await waitText('#fb-msg', /^服务器返回 503$/);

  await answer('/api/feedback', { ok: true });
  await page.check('input[name=kind][value=other]');
  await page.click('#fb-send');
  await waitText('#fb-msg', /反馈已发送/);
  // "Other" goes out empty: the program then files it as plain feedback
  // ("反馈") instead of passing an English word through to the service.
  assert.equal(JSON.parse(calls('/api/feedback').at(-1).body).kind, '');
  assert.equal(await page.inputValue('#fb-text'), '');
  assert.equal(await text('#fb-count'), '0 / 1800 字');
  await shot(page, '21-feedback-sent');

  await page.fill('#fb-text', '再来一条');
  await answer('/api/feedback', 404);
  await page.click('#fb-send');
  await waitText('#fb-msg', /暂时不能在线反馈/);
  await page.unroute('**/api/feedback');

  // Escape closes the form and the focus goes back to its button.
  await page.keyboard.press('Escape');
  assert.equal(await page.isVisible('#dlg-feedback'), false);
  assert.equal(await page.evaluate(() => document.activeElement.id), 'btn-feedback');
});

test('rights: without administrator rights the page explains and offers to restart elevated', { skip }, async () => {
  await page.route('**/api/env', async (route) => {
    const res = await route.fetch();
    const env = await res.json();
    route.fulfill({ json: { ...env, admin: false } });
  });
  await loadPage(page, server);
  assert.equal(await text('#admin-badge'), '普通权限');
  assert.equal(await page.isVisible('#btn-elevate'), true);
  assert.match(await text('#elevate-why'), /需管理员/);

  // The real clean names the items that need rights: description, system
  // folder targets, and the hibernation file.
  await page.click('#btn-none');
  for (const id of ['user-temp', 'win-serviceprofiles-log', 'prefetch', 'hibernate']) await page.check(`#it-${id}`);
  await page.click('#btn-clean');
  await page.waitForSelector('#dlg-confirm[open]');
  const names = await page.$$eval('#confirm-admin li', (l) => l.map((e) => e.textContent));
  assert.deepEqual(names, ['系统服务日志', '预读文件 Prefetch', '休眠文件 hiberfil.sys']);
  assert.match(await text('#confirm-risk'), /休眠文件 hiberfil\.sys（中风险）/);
  // Cleaning hibernation switches it off for good, and Fast Startup with it;
  // nothing the user reads may say it is switched back on.
  const hib = await text('#confirm-hibernate');
  assert.match(hib, /关闭休眠，并保持关闭/);
  assert.match(hib, /快速启动/);
  assert.doesNotMatch(await text('#dlg-confirm'), /再开启休眠/);
  await shot(page, '22-confirm-not-admin');
  await page.click('#btn-confirm-no');

  await answer('/api/shell/elevate', { ok: false, message: '你取消了管理员授权' });
  await page.click('#btn-elevate');
  await waitText('#toast', /^你取消了管理员授权$/);
  assert.equal(await page.isVisible('#btn-elevate'), true);
  await shot(page, '23-not-admin');

  await answer('/api/shell/elevate', { ok: true, already: true });
  await page.click('#btn-elevate');
  await waitText('#toast', /已经是管理员/);

  await answer('/api/shell/elevate', { ok: true, elevated: true });
  await page.click('#btn-elevate');
  await page.waitForSelector('#ended:not([hidden])');
  assert.match(await text('#ended'), /正在以管理员身份重新启动/);
  await page.unroute('**/api/env');
  await page.unroute('**/api/shell/elevate');
});

test('shortcut: offered when needShortcut, hidden once made or when unavailable', { skip }, async () => {
  const info = { ok: true, appName: 'Tamsel', version: '1.0.2', exePath: 'C:\\t\\tamsel.exe', exeOnDesktop: false,
    hasShortcut: false, needShortcut: true, browserIE: false, modernBrowser: '' };
  await answer('/api/shell/info', info);
  await loadPage(page, server);
  assert.equal(await page.isVisible('#btn-shortcut'), true);

  await answer('/api/shell/shortcut', { ok: false, created: [], message: '创建快捷方式失败（可能被安全软件拦截，或桌面/开始菜单目录不可写）', hasShortcut: false });
  await page.click('#btn-shortcut');
  await waitText('#toast', /^创建快捷方式失败/);
  assert.equal(await page.isVisible('#btn-shortcut'), true);

  await answer('/api/shell/shortcut', {
    ok: true,
    created: ['C:\\Users\\u\\Desktop\\Tamsel.lnk', 'C:\\Users\\u\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Tamsel.lnk'],
    hasShortcut: true,
  });
  await page.click('#btn-shortcut');
  await waitText('#toast', /已在桌面和开始菜单创建快捷方式/);
  assert.equal(await page.isVisible('#btn-shortcut'), false);

  await answer('/api/shell/info', { ...info, hasShortcut: true, needShortcut: false });
  await loadPage(page, server);
  assert.equal(await page.isVisible('#btn-shortcut'), false);
  await answer('/api/shell/info', 404);
  await loadPage(page, server);
  assert.equal(await page.isVisible('#btn-shortcut'), false);
  await page.unroute('**/api/shell/info');
  await page.unroute('**/api/shell/shortcut');
});

test('update: notes and page link when there is a new version, a note otherwise', { skip }, async () => {
  await loadPage(page, server);
  await answer('/api/shell/update', { ok: true, current: '1.0.2', latest: '1.1.0', page: 'https://example.invalid/tamsel', notes: '修复了扫描进度\n新增深色模式', hasUpdate: true });
  await page.click('#btn-update');
  await page.waitForSelector('#dlg-update[open]');
  assert.equal(await text('#upd-title'), '发现新版本 1.1.0');
  assert.equal(await page.$eval('#upd-notes', (e) => e.textContent), '修复了扫描进度\n新增深色模式');
  assert.equal(await page.getAttribute('#upd-link', 'href'), 'https://example.invalid/tamsel');
  await shot(page, '24-update');
  await page.keyboard.press('Escape');

  // A page address that is not a web address is never made a link.
  await answer('/api/shell/update', { ok: true, current: '1.0.2', latest: '1.1.0', page: 'javascript:alert(1)', notes: '', hasUpdate: true });
  await page.click('#btn-update');
  await page.waitForSelector('#dlg-update[open]');
  assert.equal(await page.locator('#upd-body a').count(), 0);
  await page.keyboard.press('Escape');

  await answer('/api/shell/update', { ok: true, current: '1.0.2', latest: '1.0.2', page: '', notes: '', hasUpdate: false });
  await page.click('#btn-update');
  await waitText('#toast', /^已经是最新版本（1\.0\.2）。$/);
  await answer('/api/shell/update', { ok: false, message: '连不上更新服务器' });
  await page.click('#btn-update');
  await waitText('#toast', /^连不上更新服务器$/);
  assert.equal(await text('#btn-update'), '检查更新');
  await answer('/api/shell/update', 404);
  await page.click('#btn-update');
  await waitText('#toast', /不能检查更新/);
  assert.equal(await page.isVisible('#btn-update'), false);
  await page.unroute('**/api/shell/update');
});

test('a clean running when the page loads is followed; its result lists skipped files and reasons', { skip }, async () => {
  // The program's answers are supplied here: a real clean that leaves files
  // behind needs files the system refuses to delete.
  let frames = 3;
  await page.route('**/api/status', (route) => route.fulfill({
    json: frames-- > 0
      ? { ok: true, busy: true, finished: false, phase: 'clean', done: 1, total: 2, bytes: 1_048_576, files: 3, cur: 'C:\\Windows\\Logs\\CBS' }
      : { ok: true, busy: false, finished: true, phase: 'idle', done: 2, total: 2, bytes: 2_097_152, files: 5, cur: '' },
  }));
  const errors = Array.from({ length: 20 }, (_, i) => `C:\\Windows\\Logs\\CBS\\CbsPersist_${i}.log : 删除失败(占用或权限)`);
  await page.route('**/api/result', (route) => route.fulfill({
    json: {
      ok: true, kind: 'clean', dryRun: false,
      items: [
        { id: 'user-temp', bytes: 2_097_152, files: 5, skipped: 0, errors: [] },
        { id: 'sys-logs', bytes: 0, files: 0, skipped: 25, errors },
        { id: 'hibernate', bytes: 0, files: 0, skipped: 1, errors: ['关闭休眠失败（需要管理员权限）'] },
      ],
      totalBytes: 2_097_152, totalFiles: 5, freeBefore: 10 * 1024 ** 3, freeAfter: 10 * 1024 ** 3 + 2_097_152,
    },
  }));
  await loadPage(page, server);
  await page.waitForSelector('#progress:not([hidden])');
  assert.equal(await text('#prog-phase'), '正在清理…');
  assert.equal(await text('#prog-found'), '已清理 1.0 MB，3 个文件');
  assert.equal(await page.isDisabled('#btn-clean'), true);
  await page.waitForSelector('#dlg-result[open]', { timeout: 10_000 });
  assert.equal(await text('#result-title'), '清理完成');
  assert.equal(await text('#result-bytes'), '2.0 MB');
  assert.equal(await text('#result-free'), '10.0 GB → 10.0 GB（多出 2.0 MB）');
  assert.match(await text('#result-skipped'), /^26 个（/);
  const sys = '#result-table tr[data-id="sys-logs"]';
  assert.match(await text(`${sys} summary`), /^查看 20 条原因（共跳过 25 个，只列出前 20 条）$/);
  await page.click(`${sys} summary`);
  assert.deepEqual(await page.$$eval(`${sys} .errs li`, (l) => l.map((e) => e.textContent)), errors);
  await page.click('#result-table tr[data-id="hibernate"] summary');
  assert.equal(await text('#result-table tr[data-id="hibernate"] .errs li'), '关闭休眠失败（需要管理员权限）');
  await shot(page, '27-clean-errors');
  await page.keyboard.press('Escape');
  assert.equal(await page.isVisible('#progress'), false);
  assert.match(await text('#last-clean'), /^上次清理：释放了 2\.0 MB/);
  await page.unroute('**/api/status');
  await page.unroute('**/api/result');
});

test('exit: asks first, then the program ends and the page says so', { skip }, async () => {
  await loadPage(page, server);
  await page.click('#btn-exit');
  await page.waitForSelector('#dlg-exit[open]');
  // Declining keeps everything running.
  await page.click('#dlg-exit [data-close]');
  await requestsSettled(page);
  assert.equal(calls('/api/shell/exit').length, 0);
  assert.equal(server.exited(), null);

  await page.click('#btn-exit');
  await shot(page, '25-exit-confirm');
  await page.click('#btn-exit-yes');
  await page.waitForSelector('#ended:not([hidden])');
  assert.equal(await text('#ended-title'), 'Tamsel 已退出');
  assert.match(await text('#ended-text'), /可以关闭这个浏览器标签页/);
  await shot(page, '26-ended');
  // The program really ends, with exit code 0, about half a second later.
  const exit = await Promise.race([server.closed, sleep(5000).then(() => null)]);
  assert.deepEqual(exit, { code: 0, signal: null });
  // The page does not mistake the ended program for a crash.
  await sleep(6000);
  assert.equal(await page.isVisible('#gone'), false);
});
