// One smoke run of the page against tamsel.exe under wine: the embedded
// page loads, the catalogue and the drive show, a scan of the temporary
// folder finishes and its files are listed, and the space view maps the
// drive. Nothing is deleted: the prefix is shared with the other Windows
// tests.

import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  WINDOWS_EXE, USER, startWine, winePrefix, openBrowser, closeBrowser, loadPage, shot, fmtBytes,
} from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';
import { CATEGORY_COUNT, ITEM_COUNT } from '../data/catalogue.mjs';

const missing = requireBuild('windows', WINDOWS_EXE, 'wine smoke test') ? false : 'the windows build is not under test';

let server;
let browser;
let mine;

after(async () => {
  if (browser) await closeBrowser(browser.context);
  if (server) await server.stop();
  if (mine) fs.rmSync(mine, { recursive: true, force: true });
});

test('the page works against tamsel.exe under wine', { skip: missing, timeout: 600_000 }, async () => {
  server = await startWine();
  // %TEMP% of the wine user is C:\users\<user>\Temp; a folder of our own in
  // it gives the scan something known to find. Made after the start, which
  // may have created the prefix.
  mine = path.join(winePrefix(), 'drive_c', 'users', USER, 'Temp', `tamsel-browser-${process.pid}`);
  fs.mkdirSync(mine, { recursive: true });
  fs.writeFileSync(path.join(mine, 'smoke-a.bin'), Buffer.alloc(123_456, 1));
  fs.writeFileSync(path.join(mine, 'smoke-b.log'), Buffer.alloc(2048, 2));

  browser = await openBrowser();
  const { page } = browser;
  await loadPage(page, server);
  assert.equal(await page.locator('section.cat').count(), CATEGORY_COUNT);
  assert.equal(await page.locator('li.item').count(), ITEM_COUNT);
  assert.match(await page.textContent('#drive-text'), /^已用 [\d.]+ [KMGT]B，共 [\d.]+ [KMGT]B，可用 [\d.]+ [KMGT]B$/);
  assert.match(await page.textContent('#admin-badge'), /^(管理员权限|普通权限)$/);

  await page.click('#btn-none');
  await page.check('#it-user-temp');
  await page.click('#btn-scan');
  await page.waitForFunction(() => document.getElementById('progress').hidden &&
    !document.getElementById('btn-scan').disabled, null, { timeout: 120_000 });
  const size = await page.textContent('.item[data-id="user-temp"] .item-size .v');
  assert.match(size, /^[\d.]+ (B|KB|MB|GB)$/);
  assert.ok(await page.isVisible('#chart'));
  await shot(page, '30-wine-scan');

  await page.click('.item[data-id="user-temp"] .item-act button');
  await page.selectOption('#detail-limit', '5000');
  await page.waitForFunction(() => [...document.querySelectorAll('#detail-rows .fn')].some((e) => e.textContent === 'smoke-a.bin'),
    null, { timeout: 60_000 });
  const row = await page.$$eval('#detail-rows tr', (rows) => rows.map((r) => [...r.querySelectorAll('td')].map((td) => td.textContent))
    .find((c) => c[0].startsWith('smoke-a.bin')));
  assert.equal(row[1], fmtBytes(123_456));
  assert.match(row[2], /^\d{4}-\d\d-\d\d \d\d:\d\d$/);
  assert.match(row[0], /C:\\users\\.+\\Temp\\tamsel-browser-/i);
  await shot(page, '31-wine-details');
  await page.keyboard.press('Escape');

  // The space view maps the drive: the walk runs under wine and the page
  // draws the result (nothing is moved: the prefix is shared).
  await page.click('#tab-space');
  await page.click('#sp-start');
  await page.waitForFunction(() => /空间分析完成/.test(document.getElementById('toast').textContent), null, { timeout: 300_000 });
  assert.match(await page.textContent('#sp-note'), /^已分析 C:\\：共 [\d.]+ (B|KB|MB|GB)，[\d,]+ 个文件，[\d,]+ 个文件夹/);
  assert.equal(await page.textContent('#sp-crumbs .sp-here'), 'C:\\');
  assert.ok(await page.locator('#sp-map .sp-cell').count() > 0);
  assert.equal(await page.locator('#sp-rows tr button[aria-label="打开 windows"]').count(), 1);
  await shot(page, '32-wine-space');
  assert.deepEqual(page.errors, []);
});
