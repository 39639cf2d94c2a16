// The page and the access token, against the native build: opened the way
// the program opens it (the token in the address fragment), the page keeps
// the token for the tab, takes it out of the address bar, sends it with
// every API call and works end to end, a scan and a real clean included.
// Opened without a token, or with one the program does not know, it says
// to open Tamsel again instead of failing call by call.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  NATIVE_BIN, TOKEN_HEADER, startNative, openBrowser, closeBrowser, loadPage, openPage, shot, tempDir,
  writeTree, listTree, USER,
} from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';
import { ITEM_COUNT } from '../data/catalogue.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'access token browser tests') ? false : 'the native build is not under test';

const TEMP = `Users\\${USER}\\AppData\\Local\\Temp`;
const ENTRIES = [
  { path: `${TEMP}\\tok-a.tmp`, size: 3000 },
  { path: `${TEMP}\\sub\\tok-b.log`, size: 700 },
  { path: `Users\\${USER}\\Documents\\keep.docx`, size: 900 },
];
const LOCKED_TEXT = /这个页面没有 Tamsel 的访问令牌[\s\S]*请关闭本页，再双击打开 Tamsel/;

let root;
let driveC;
let server;
const browsers = [];

before(async () => {
  if (skip) return;
  root = tempDir('tamsel-token-');
  driveC = path.join(root, 'c');
  fs.mkdirSync(driveC);
  writeTree(driveC, ENTRIES);
  server = await startNative(root);
});

after(async () => {
  for (const b of browsers) await closeBrowser(b.context);
  if (server) await server.stop();
});

async function freshBrowser() {
  const b = await openBrowser();
  browsers.push(b);
  b.apiRequests = [];
  b.page.on('request', (r) => {
    if (new URL(r.url()).pathname.startsWith('/api/')) b.apiRequests.push(r);
  });
  return b;
}

const visible = (page, sel) => page.isVisible(sel);

test('opened with the token: it leaves the address bar and goes with every call; scan and clean work', { skip }, async () => {
  const { page, apiRequests } = await freshBrowser();
  await loadPage(page, server);
  assert.equal(await visible(page, '#locked'), false);

  // Out of the address bar, kept for this tab.
  assert.equal(page.url(), server.url);
  assert.equal(await page.evaluate(() => location.hash), '');
  assert.doesNotMatch(await page.evaluate(() => location.href), /token/);
  assert.equal(await page.evaluate(() => sessionStorage.getItem('tamsel.token')), server.token);

  // A scan and a real clean of the temporary folder.
  await page.click('#btn-none');
  await page.check('#it-user-temp');
  await page.click('#btn-scan');
  await page.waitForFunction(() => document.getElementById('progress').hidden &&
    !document.getElementById('btn-scan').disabled, null, { timeout: 30_000 });
  assert.equal(await page.textContent('.item[data-id="user-temp"] .item-size .v'), '3.6 KB');
  const beforeClean = listTree(driveC);
  await page.click('#btn-clean');
  await page.waitForSelector('#dlg-confirm[open]');
  await page.click('#btn-confirm-yes');
  // The result dialog opens once the clean has ended.
  await page.waitForSelector('#dlg-result[open]', { timeout: 30_000 });
  const afterClean = listTree(driveC);
  const gone = beforeClean.filter((l) => !afterClean.includes(l)).map((l) => l.split('\t')[1]);
  const tempRel = TEMP.split('\\').join('/');
  assert.deepEqual(gone.sort(), [`${tempRel}/sub/tok-b.log`, `${tempRel}/tok-a.tmp`]);
  assert.deepEqual(afterClean.filter((l) => !beforeClean.includes(l)), []);
  await shot(page, '40-token-clean');

  // Every API request of the page carried the token; none was refused.
  assert.ok(apiRequests.length >= 8, `${apiRequests.length} API requests`);
  for (const r of apiRequests) {
    const p = new URL(r.url()).pathname;
    assert.equal(r.headers()[TOKEN_HEADER.toLowerCase()], server.token, p);
    assert.doesNotMatch(r.url(), /token/, p);
    const res = await r.response();
    assert.notEqual(res?.status(), 403, p);
  }
  assert.deepEqual(page.errors, []);
});

test('a reload in the same tab keeps working without the fragment', { skip }, async () => {
  const { page } = await freshBrowser();
  await loadPage(page, server);
  await page.reload();
  await page.waitForSelector('body[data-ready="1"]', { timeout: 20_000 });
  assert.equal(await visible(page, '#locked'), false);
  assert.equal(await page.locator('li.item').count(), ITEM_COUNT);
});

test('opened without the token (a bookmark, a new tab): the page says to open Tamsel again', { skip }, async () => {
  const { page, apiRequests } = await freshBrowser();
  await openPage(page, server.url);
  await page.waitForSelector('#locked:not([hidden])', { timeout: 20_000 });
  assert.match(await page.textContent('#locked'), /请重新打开 Tamsel/);
  assert.match(await page.textContent('#locked'), LOCKED_TEXT);
  assert.equal(await page.title(), '请重新打开 Tamsel');
  // The page asks nothing of the program it cannot be given.
  assert.deepEqual(apiRequests.map((r) => r.url()), []);
  assert.equal(await page.$eval('main', (e) => e.inert), true);
  await shot(page, '41-token-missing');
  assert.deepEqual(page.errors, []);
});

test('opened with a token the program does not know: the same message after the first refusal', { skip }, async () => {
  const { page, apiRequests } = await freshBrowser();
  const wrong = server.token.replace(/^./, (c) => (c === '0' ? '1' : '0'));
  await openPage(page, `${server.url}#token=${wrong}`);
  await page.waitForSelector('#locked:not([hidden])', { timeout: 20_000 });
  assert.match(await page.textContent('#locked'), LOCKED_TEXT);
  assert.equal(await page.evaluate(() => location.hash), '', 'even a refused token leaves the address bar');
  assert.ok(apiRequests.length > 0);
  for (const r of apiRequests) assert.equal(r.headers()[TOKEN_HEADER.toLowerCase()], wrong);
  // Nothing was changed on the drive: the files planted for the scan of
  // the first test are gone, the personal one is still there.
  assert.ok(fs.existsSync(path.join(driveC, ...`Users\\${USER}\\Documents\\keep.docx`.split('\\'))));
});

test('a malformed token in the fragment is not taken', { skip }, async () => {
  const { page, apiRequests } = await freshBrowser();
  await openPage(page, `${server.url}#token=${server.token.toUpperCase()}x`);
  await page.waitForSelector('#locked:not([hidden])', { timeout: 20_000 });
  assert.deepEqual(apiRequests.map((r) => r.url()), []);
  assert.equal(await page.evaluate(() => sessionStorage.getItem('tamsel.token')), null);
});
