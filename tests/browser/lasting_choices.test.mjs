// Choices that stay and an automatic clean of its own, replayed in the
// interface against the native build as a user met them: files unticked in
// a file list come back after the page rescans by itself (an age change, a
// protected folder), a reload or a restart, and the clean deletes them; one
// click on "clean with this item" in the space view changes what the
// scheduled clean deletes; the settings dialog never says what that is. The
// tests share one program and page and run in order.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import {
  NATIVE_BIN, USER, startNative, openBrowser, closeBrowser, loadPage, tempDir, writeTree,
  listTree, fmtBytes, shot,
} from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';
import { CATALOGUE } from '../data/catalogue.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'lasting choices browser tests') ? false : 'the native build is not under test';

const MiB = 1024 * 1024;
const DAY = 86_400_000;
const OLD = Date.now() - 40 * DAY;
const PROFILE = `Users\\${USER}`;
const TEMP = `${PROFILE}\\AppData\\Local\\Temp`;
const DOWNLOADS = `${PROFILE}\\Downloads`;
const SETUP = `${DOWNLOADS}\\WeChatSetup_2.exe`;
const BIG_TMP = `${TEMP}\\big_220.tmp`;
const FILES = [
  { path: SETUP, size: 2 * MiB, mtime: OLD },
  { path: `${DOWNLOADS}\\毕业设计.rar`, size: 3 * MiB, mtime: OLD },
  { path: `${DOWNLOADS}\\disc.iso`, size: 5 * MiB, mtime: OLD },
  { path: `${DOWNLOADS}\\report.docx`, size: 8000, mtime: OLD },
  { path: BIG_TMP, size: 220 * MiB, mtime: OLD },
  { path: `${TEMP}\\small.tmp`, size: 3000, mtime: OLD },
  { path: `${TEMP}\\other\\log.txt`, size: 500, mtime: OLD },
  { path: `${PROFILE}\\Documents\\keep\\notes.txt`, size: 100, mtime: OLD },
];
const rel = (p) => p.split('\\').join('/');
const win = (p) => `C:\\${p}`;
const ITEMS = CATALOGUE.flatMap((c) => c.items);
const nameOf = (id) => ITEMS.find((i) => i.id === id).name;

let root, driveC, server, browser, page;

before(async () => {
  if (skip) return;
  root = tempDir('tamsel-lasting-');
  driveC = path.join(root, 'c');
  writeTree(driveC, FILES);
  server = await startNative(root);
  browser = await openBrowser({ viewport: { width: 1280, height: 600 } });
  page = browser.page;
  await loadPage(page, server);
});

after(async () => {
  if (browser) await closeBrowser(browser.context);
  if (server) await server.stop();
});

const text = async (sel) => ((await page.locator(sel).first().textContent()) ?? '').trim();
const settings = async () => (await (await server.api('/api/settings')).json()).settings;
async function waitIdle() {
  await page.waitForFunction(() => document.getElementById('progress').hidden &&
    !document.getElementById('btn-scan').disabled, null, { timeout: 60_000 });
}
// A scan the page starts by itself a moment after a change, waited for to its end.
async function waitOwnScan(scansBefore) {
  await page.waitForFunction((n) => performance.getEntriesByType('resource')
    .filter((e) => /\/api\/scan$/.test(e.name)).length > n, scansBefore, { timeout: 10_000 });
  await waitIdle();
}
const scansSoFar = () => page.evaluate(() => performance.getEntriesByType('resource')
  .filter((e) => /\/api\/scan$/.test(e.name)).length);
async function openFiles(id) {
  await page.click(`.item[data-id="${id}"] .item-act button`);
  await page.waitForSelector('#dlg-detail[open] #detail-rows tr td.c-size');
}
const row = (name) => page.locator('#detail-rows tr', { has: page.locator('.fn', { hasText: name }) });
async function waitSaved(pred) {
  for (let i = 0; i < 200; i++) {
    if (pred(await settings())) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  assert.fail('the settings were not saved');
}
// The two files are unticked in their lists, and the rows say so.
async function expectLeftOut() {
  for (const [id, name] of [['downloads-installer', 'WeChatSetup_2.exe'], ['user-temp', 'big_220.tmp']]) {
    await openFiles(id);
    assert.equal(await row(name).locator('input.pick').isChecked(), false, `${name} stays unticked`);
    assert.equal(await row(name).locator('.out-tag').textContent(), '以后不再清理');
    assert.match(await text('#detail-info'), /；已排除 1 个$/);
    await page.keyboard.press('Escape');
    assert.equal(await text(`.item[data-id="${id}"] .item-size .skipped`), '已排除 1 个文件');
  }
}
// Runs the native program's command-line clean over the same drive.
function runCli(args) {
  return new Promise((resolve) => {
    const env = {};
    // As startNative: no Windows variable of the real environment.
    for (const [k, v] of Object.entries(process.env)) {
      if (!/^(systemdrive|systemroot|windir|programfiles|programfiles\(x86\)|programw6432|programdata|userprofile|appdata|localappdata|temp|tmp|public)$/i.test(k)) env[k] = v;
    }
    env.TAMSEL_ROOT = root;
    const child = spawn(NATIVE_BIN, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', (d) => { out += d; });
    child.on('close', (code) => resolve({ code, out }));
  });
}

test('files unticked in a file list stay unticked over an age change, a protected folder, a reload and a restart, and the clean leaves them', { skip }, async () => {
  await page.click('#btn-none');
  await page.check('#it-user-temp');
  await page.check('#it-downloads-installer');
  await page.click('#btn-scan');
  await waitIdle();
  await openFiles('downloads-installer');
  await row('WeChatSetup_2.exe').locator('input.pick').uncheck();
  await page.keyboard.press('Escape');
  await openFiles('user-temp');
  await row('big_220.tmp').locator('input.pick').uncheck();
  await shot(page, '60-details-left-out-1280x600');
  await page.keyboard.press('Escape');
  // The figures leave them out at once.
  assert.equal(await text('.item[data-id="user-temp"] .item-size .v'), fmtBytes(3500));
  assert.equal(await text('.item[data-id="downloads-installer"] .item-size .v'), fmtBytes(8 * MiB));
  // Saved before anything else happens (a program that keeps no such list
  // has nothing to wait for; the list is checked after the clean).
  await waitSaved((s) => !('excluded' in s) || s.excluded.length === 2);

  // The page rescans by itself after an age change ...
  let n = await scansSoFar();
  await page.selectOption('#opt-age', '1');
  await waitOwnScan(n);
  await expectLeftOut();
  // ... and after a protected folder is added ...
  n = await scansSoFar();
  await page.click('#btn-settings');
  await page.fill('#protect-input', win(`${PROFILE}\\Documents\\keep`));
  await page.click('#protect-form button[type=submit]');
  await page.keyboard.press('Escape');
  await waitOwnScan(n);
  await expectLeftOut();
  // The scan's own figures leave them out.
  const scan = await (await server.api('/api/scanresult')).json();
  assert.deepEqual(scan.items.map((i) => [i.id, i.bytes, i.files]),
    [['user-temp', 3500, 2], ['downloads-installer', 8 * MiB, 2]]);
  // ... a reload ...
  await loadPage(page, server);
  await expectLeftOut();
  // ... and a restart of the program.
  await server.stop();
  server = await startNative(root);
  await loadPage(page, server);
  await expectLeftOut();

  const tree = listTree(driveC);
  await page.click('#btn-scan');
  await waitIdle();
  await page.click('#btn-clean');
  await page.waitForSelector('#dlg-confirm[open]');
  await page.click('#btn-confirm-yes');
  await page.waitForSelector('#dlg-result[open]', { timeout: 60_000 });
  await page.keyboard.press('Escape');
  const gone = new Set([`${DOWNLOADS}\\毕业设计.rar`, `${DOWNLOADS}\\disc.iso`, `${TEMP}\\small.tmp`,
    `${TEMP}\\other\\log.txt`].map(rel));
  const kept = tree.filter((l) => !(l.startsWith('f\t') && gone.has(l.split('\t')[1])));
  assert.equal(tree.length - kept.length, 4);
  // The user's own files go to the recycle bin, whose folder is not part of
  // the drive compared here.
  assert.deepEqual(listTree(driveC).filter((l) => !/^[df]\t\$Recycle\.Bin/.test(l)), kept);
  assert.deepEqual((await settings()).excluded.sort(), [
    ['downloads-installer', win(SETUP)], ['user-temp', win(BIG_TMP)]].sort());
  assert.deepEqual(page.errors, []);
});

test('one click on "clean with" a user-files item in the space view leaves the automatic clean as it was', { skip }, async () => {
  // What was cleaned above comes back, old enough for the automatic clean.
  writeTree(driveC, FILES.filter((f) => f.path !== SETUP && f.path !== BIG_TMP));
  await page.click('#btn-none');
  await page.click('#tab-space');
  await page.click('#sp-start');
  await page.waitForFunction(() => /空间分析完成/.test(document.getElementById('toast')?.textContent || ''), null, { timeout: 60_000 });
  for (const name of ['Users', USER]) await page.click(`#sp-rows button.sp-fn[aria-label="打开 ${name}"]`);
  await page.click('#sp-rows .sp-clean[data-item="downloads-installer"]');
  assert.equal(await page.isChecked('#it-downloads-installer'), true);
  await waitSaved((s) => s.selected.includes('downloads-installer'));

  // The scheduled clean, with the program running (handed over to it).
  const leftOut = new Set(((await settings()).excluded || []).map(([, p]) => p.toLowerCase()));
  const tree = listTree(driveC);
  const r = await runCli(['--clean', 'default', '--quiet']);
  assert.equal(r.code, 0, r.out);
  const after = listTree(driveC);
  const goneNow = tree.filter((l) => !after.includes(l));
  assert.deepEqual(goneNow.filter((l) => l.includes('/Downloads')), [], 'nothing of Downloads went');
  // Only the automatic clean's items took files: here the old temp files
  // but the one left out for good.
  assert.deepEqual(goneNow.filter((l) => l.startsWith('f\t')).map((l) => l.split('\t')[1]).sort(),
    [`${TEMP}\\small.tmp`, `${TEMP}\\other\\log.txt`, BIG_TMP].filter((p) => !leftOut.has(win(p).toLowerCase()))
      .map(rel).sort());
  assert.deepEqual(after.filter((l) => !tree.includes(l)), []);
  const s = await settings();
  assert.equal(s.autoItems.includes('downloads-installer'), false);
  await page.click('#tab-clean');
});

test('the settings dialog lists the automatic clean by name and size; a medium-risk item joins only when confirmed', { skip }, async () => {
  // Never what only counts, the user's own files or Windows' own tools.
  const auto = ITEMS.filter((i) => i.mode !== 'measure' && i.mode !== 'systool' && !i.userFiles);
  const defaults = auto.filter((i) => i.defaultEnabled).map((i) => i.id);
  await page.click('#btn-settings');
  await page.waitForSelector('#auto-list li');
  assert.deepEqual(await page.$$eval('#auto-list li', (l) => l.map((e) => e.dataset.id)), auto.map((i) => i.id));
  assert.deepEqual(await page.$$eval('#auto-list input:checked', (l) => l.map((e) => e.dataset.id)), defaults);
  assert.equal(await text('#auto-list li[data-id="user-temp"] label'), nameOf('user-temp'));
  // The sizes of the last scan, as the list beside shows them (an item
  // cleaned since stands at 0 there and here alike).
  const shown = await text('.item[data-id="user-temp"] .item-size .v');
  assert.match(shown, /^[\d.]+ (B|KB|MB|GB)$/);
  assert.equal(await text('#auto-list li[data-id="user-temp"] .sz'), shown);
  assert.match(await text('#auto-never'), new RegExp(nameOf('downloads-installer')));
  assert.equal(await page.inputValue('#auto-age'), '1');
  await shot(page, '61-settings-auto-1280x600');

  // A medium-risk item: its own confirmation names what it deletes.
  const medium = auto.find((i) => i.risk === 'medium');
  await page.click(`#auto-${medium.id}`);
  await page.waitForSelector('#dlg-auto-add[open]');
  assert.equal(await page.isChecked(`#auto-${medium.id}`), false);
  const body = await text('#auto-add-body');
  assert.ok(body.includes(medium.name) && body.includes(medium.desc), body);
  assert.match(body, /自动清理会在无人看着时删除这些位置里的文件：/);
  await page.click('#btn-auto-add-no');
  assert.equal((await settings()).autoItems.includes(medium.id), false);
  // The item that searches its folders for caches says so: it never takes
  // the folders' own files, whatever its two roots suggest.
  await page.click('#auto-chromium-app-caches');
  await page.waitForSelector('#dlg-auto-add[open]');
  const found = await text('#auto-add-body');
  assert.match(found, /在下面这些文件夹里找出上面说的缓存文件夹，只删除其中的文件，不删这些文件夹里的其他文件：/);
  assert.doesNotMatch(found, /删除这些位置里的文件/);
  await shot(page, '61-settings-auto-search');
  await page.click('#btn-auto-add-no');
  assert.equal((await settings()).autoItems.includes('chromium-app-caches'), false);
  await page.click(`#auto-${medium.id}`);
  await page.waitForSelector('#dlg-auto-add[open]');
  await page.click('#btn-auto-add-yes');
  await waitSaved((s) => s.autoItems.includes(medium.id));
  assert.equal(await page.isChecked(`#auto-${medium.id}`), true);
  // A low-risk item leaves and joins without a question; the age is kept.
  await page.uncheck('#auto-user-temp');
  await page.selectOption('#auto-age', '7');
  await waitSaved((s) => !s.autoItems.includes('user-temp') && s.autoOlderThanDays === 7);
  await page.check('#auto-user-temp');
  await waitSaved((s) => s.autoItems.includes('user-temp'));
  const order = (await settings()).autoItems;
  assert.deepEqual(order, auto.map((i) => i.id).filter((id) => order.includes(id)), 'catalogue order');

  // With a schedule set, the next run.
  await page.check('input[name="schedule-every"][value="daily"]');
  await page.waitForFunction(() => /^下次运行：最早 \d+ 月 \d+ 日（周.）12:00/.test(document.getElementById('schedule-next').textContent));
  await page.check('input[name="schedule-every"][value="off"]');
  await page.waitForFunction(() => /自动清理已关闭/.test(document.getElementById('schedule-state').textContent));
  await page.keyboard.press('Escape');
  assert.deepEqual(page.errors, []);
});

test('screenshots of the file list and the settings, light and dark, at 1280x600 and 1920x1080', { skip }, async () => {
  for (const scheme of ['light', 'dark']) {
    for (const [w, hgt] of [[1280, 600], [1920, 1080]]) {
      await page.emulateMedia({ colorScheme: scheme });
      await page.setViewportSize({ width: w, height: hgt });
      await page.check('#it-downloads-installer');
      await page.uncheck('#it-user-temp');
      await openFiles('user-temp');
      assert.equal(await page.isVisible('#detail-off'), true, 'an unticked item says its files do not go');
      await row('big_220.tmp').locator('details.row-menu summary').click();
      await shot(page, `62-details-${scheme}-${w}x${hgt}`);
      await page.keyboard.press('Escape');
      await page.keyboard.press('Escape');
      await page.click('#btn-settings');
      await page.waitForSelector('#auto-list li');
      await shot(page, `63-settings-${scheme}-${w}x${hgt}`);
      await page.keyboard.press('Escape');
    }
  }
});
