// The user's choices in the interface, against the native build: files
// deselected in the file list, a folder protected from the file list, the
// figures before a clean equal to what the clean then frees, the records
// dialog, and the selection and age choice remembered over a restart. The
// tests share one program and page and run in order.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  NATIVE_BIN, USER, startNative, openBrowser, closeBrowser, loadPage, tempDir, writeTree,
  listTree, fmtBytes,
} from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';
import { ITEM_COUNT, DEFAULT_COUNT } from '../data/catalogue.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'choices browser tests') ? false : 'the native build is not under test';

const TEMP = `Users\\${USER}\\AppData\\Local\\Temp`;
const FILES = [
  { path: `${TEMP}\\a.tmp`, size: 1000 },
  { path: `${TEMP}\\b.tmp`, size: 2000 },
  { path: `${TEMP}\\c.tmp`, size: 4000 },
  { path: `${TEMP}\\keepdir\\k.tmp`, size: 8000 },
  { path: `${TEMP}\\d.tmp`, size: 16000 },
];
const rel = (p) => p.split('\\').join('/');
const win = (p) => `C:\\${p}`;

let root, driveC, server, browser, page;

before(async () => {
  if (skip) return;
  root = tempDir('tamsel-choices-');
  driveC = path.join(root, 'c');
  writeTree(driveC, FILES);
  server = await startNative(root);
  browser = await openBrowser();
  page = browser.page;
  await loadPage(page, server);
});

after(async () => {
  if (browser) await closeBrowser(browser.context);
  if (server) await server.stop();
});

const text = async (sel) => ((await page.locator(sel).first().textContent()) ?? '').trim();
const figure = () => text('.item[data-id="user-temp"] .item-size .v');
async function waitIdle() {
  await page.waitForFunction(() => document.getElementById('progress').hidden &&
    !document.getElementById('btn-scan').disabled, null, { timeout: 30_000 });
}
async function waitFigure(bytes) {
  await page.waitForFunction((t) => {
    const el = document.querySelector('.item[data-id="user-temp"] .item-size .v');
    return el && el.textContent.trim() === t;
  }, fmtBytes(bytes), { timeout: 30_000 });
}
async function openFiles() {
  await page.click('.item[data-id="user-temp"] .item-act button');
  await page.waitForSelector('#dlg-detail[open] #detail-rows tr td.c-size');
}
const row = (name) => page.locator('#detail-rows tr', { has: page.locator('.fn', { hasText: name }) });

test('protect a folder from the file list: the scan no longer counts it', { skip }, async () => {
  await page.click('#btn-none');
  await page.check('#it-user-temp');
  await page.click('#btn-scan');
  await waitIdle();
  await waitFigure(31000);
  await openFiles();
  // The folder is protected from the row's small menu; the row's one other
  // control is its box.
  assert.equal(await row('k.tmp').locator('button:visible, input:visible').count(), 1);
  await row('k.tmp').locator('details.row-menu summary').click();
  await row('k.tmp').locator('button.protect', { hasText: '以后不再清理此文件夹' }).click();
  // The page scans again, and the protected folder is left out.
  await waitFigure(23000);
  const settings = await (await server.api("/api/settings")).json();
  assert.deepEqual(settings.settings.protect, [win(`${TEMP}\\keepdir`)]);
  await page.click('#btn-settings');
  assert.deepEqual(await page.$$eval('#protect-list li', (l) => l.map((e) => e.dataset.path)),
    [win(`${TEMP}\\keepdir`)]);
  await page.keyboard.press('Escape');
});

test('deselect two files: the row, the preview and the clean agree, and the two stay', { skip }, async () => {
  await openFiles();
  await row('b.tmp').locator('input.pick').uncheck();
  await row('c.tmp').locator('input.pick').uncheck();
  assert.match(await text('#detail-info'), /已排除 2 个/);
  await page.keyboard.press('Escape');
  assert.equal(await text('.item[data-id="user-temp"] .item-size .skipped'), '已排除 2 个文件');
  assert.equal(await figure(), fmtBytes(17000));

  const tree = listTree(driveC);
  await page.click('#btn-dry');
  await page.waitForSelector('#dlg-result[open]', { timeout: 30_000 });
  assert.equal(await text('#result-bytes'), fmtBytes(17000));
  assert.deepEqual(listTree(driveC), tree, 'a preview changed the drive');
  await page.keyboard.press('Escape');

  await page.click('#btn-clean');
  await page.waitForSelector('#dlg-confirm[open]');
  assert.match(await text('#confirm-body'), new RegExp(`约可释放 ${fmtBytes(17000).replace('.', '\\.')}`));
  await page.click('#btn-confirm-yes');
  await page.waitForSelector('#dlg-result[open]', { timeout: 30_000 });
  assert.equal(await text('#result-bytes'), fmtBytes(17000));
  const gone = new Set([`${TEMP}\\a.tmp`, `${TEMP}\\d.tmp`].map(rel));
  const expected = tree.filter((l) => !(l.startsWith('f\t') && gone.has(l.split('\t')[1])));
  assert.equal(tree.length - expected.length, 2);
  assert.deepEqual(listTree(driveC), expected);
  await page.keyboard.press('Escape');
});

test('the records dialog shows the clean, its files and its refusal', { skip }, async () => {
  await page.click('#btn-history');
  await page.waitForSelector('#hist-list li[data-id]');
  const first = await text('#hist-list li[data-id]');
  assert.match(first, new RegExp(`删除 2 个，释放 ${fmtBytes(17000).replace('.', '\\.')}，跳过 1 个$`));
  await page.click('#hist-list li[data-id] button');
  await page.waitForSelector('#hist-lines tr');
  const lines = await page.$$eval('#hist-lines tr', (l) => l.map((r) => [...r.cells].map((c) => c.textContent)));
  assert.deepEqual(lines.filter((l) => l[0] === '已删除').map((l) => l[1]).sort(),
    [win(`${TEMP}\\a.tmp`), win(`${TEMP}\\d.tmp`)]);
  assert.deepEqual(lines.filter((l) => l[0] === '跳过').map((l) => [l[1], l[3]]),
    [[win(`${TEMP}\\keepdir`), '已设为不清理']]);
  await page.fill('#hist-q', 'd.tmp');
  await page.waitForFunction(() => document.querySelectorAll('#hist-lines tr').length === 1);
  assert.equal(await text('#hist-lines tr td.c-path'), win(`${TEMP}\\d.tmp`));
  await page.keyboard.press('Escape');
});

test('selection and age choice are remembered after a restart', { skip }, async () => {
  await page.selectOption('#opt-age', '7');
  // The page saves the choice a moment later, then scans again with it.
  for (let i = 0; i < 200; i++) {
    const r = await (await server.api("/api/settings")).json();
    if (r.settings.olderThanDays === 7) break;
    await new Promise((res) => setTimeout(res, 50));
  }
  await page.waitForFunction(() => !document.getElementById('progress').hidden ||
    performance.getEntriesByType('resource').some((e) => /\/api\/scan$/.test(e.name)), null, { timeout: 10_000 });
  await waitIdle();
  await server.stop();
  server = await startNative(root);
  const saved = JSON.parse(fs.readFileSync(path.join(driveC, 'Users', USER, 'AppData', 'Local', 'tamsel', 'settings.json'), 'utf8'));
  assert.deepEqual([saved.selected, saved.olderThanDays], [['user-temp'], 7]);
  await loadPage(page, server);
  const checked = await page.$$eval('.item input[type=checkbox]', (l) => l.filter((e) => e.checked).map((e) => e.dataset.id));
  assert.deepEqual(checked, ['user-temp']);
  const after = await (await server.api("/api/settings")).json();
  assert.equal(after.settings.olderThanDays, 7, JSON.stringify(after));
  assert.equal(await page.inputValue("#opt-age"), "7");
  await page.click('#btn-defaults');
  assert.equal(await text('#sel-count'), `已勾选 ${DEFAULT_COUNT} 项（共 ${ITEM_COUNT} 项）`);
  assert.deepEqual(page.errors, []);
});

test('the settings set, show and mend the automatic clean', { skip }, async () => {
  const store = path.join(root, 'tasks', 'Tamsel', 'AutoClean');
  const stored = () => (fs.existsSync(store) ? fs.readFileSync(store).subarray(2).toString('utf16le') : null);
  const state = () => text('#schedule-state');
  await page.click('#btn-settings');
  await page.waitForFunction(() => /自动清理已关闭/.test(document.getElementById('schedule-state').textContent));
  assert.equal(await page.isChecked('input[name="schedule-every"][value="off"]'), true);

  await page.check('input[name="schedule-every"][value="daily"]');
  await page.waitForFunction(() => /^自动清理：每天/.test(document.getElementById('schedule-state').textContent));
  assert.match(stored(), /<ScheduleByDay>/);
  assert.match(stored(), /<Arguments>--clean default --quiet<\/Arguments>/);
  assert.equal(await page.isVisible('#btn-schedule-fix'), false);

  // The program was moved since: the page says so and offers to mend it.
  fs.writeFileSync(store, Buffer.concat([Buffer.from([0xff, 0xfe]),
    Buffer.from(stored().replace(/<Command>[^<]*<\/Command>/, '<Command>C:\\old place\\tamsel.exe</Command>'), 'utf16le')]));
  await page.keyboard.press('Escape');
  await page.click('#btn-settings');
  await page.waitForFunction(() => /已经不在了/.test(document.getElementById('schedule-state').textContent));
  assert.match(await state(), /C:\\old place\\tamsel\.exe/);
  assert.equal(await page.isVisible('#btn-schedule-fix'), true);
  await page.click('#btn-schedule-fix');
  await page.waitForFunction(() => /^自动清理：每天，在电脑空闲且接通电源时运行。$/.test(document.getElementById('schedule-state').textContent));
  assert.equal(/<Command>([^<]*)<\/Command>/.exec(stored())[1], NATIVE_BIN);

  await page.check('input[name="schedule-every"][value="off"]');
  await page.waitForFunction(() => /自动清理已关闭/.test(document.getElementById('schedule-state').textContent));
  assert.equal(stored(), null);
  await page.keyboard.press('Escape');
  assert.deepEqual(page.errors, []);
});
