// The items of Windows' own tools on the demo drive, as a new user meets
// them, at three screen sizes in light and dark: tick them, scan (the
// estimates and what each tool said), start the clean (the confirmation
// says how long each action may take and that it cannot be stopped), and
// read the result: C:'s free space around each action, "约". In the
// confirmation every option and button is in view without scrolling, even
// at 1280×600; the settings turn the reserved storage back on and Compact
// OS off again.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { NATIVE_BIN, REPO, startNative, openBrowser, closeBrowser, loadPage, tempDir, shot } from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'system tools browser test') ? false : 'the native build is not under test';
const TOOLS = ['component-cleanup', 'reserved-storage', 'compact-os', 'hiber-reduced'];
// The restore points and driver packages the demo drive's stand-in lists:
// the first run removes the older ones (one package Windows refuses as in
// use), so the later screens meet what is left.
const STORES = ['restore-points', 'old-drivers'];
const SCREENS = [
  { width: 1280, height: 600, colorScheme: 'light' },
  { width: 1366, height: 768, colorScheme: 'dark' },
  { width: 1920, height: 1080, colorScheme: 'light' },
  { width: 1280, height: 600, colorScheme: 'dark' },
];

let root;
before(() => {
  if (skip) return;
  root = tempDir('tamsel-demo-tools-');
  const made = spawnSync('python3', [path.join(REPO, 'scripts', 'make_demo_drive.py'), root], { encoding: 'utf8' });
  assert.equal(made.status, 0, made.stderr);
});

for (const screen of SCREENS) {
  const label = `${screen.width}x${screen.height}-${screen.colorScheme}`;
  test(`${label}: the tools are ticked, analysed, confirmed with their time and run after the files`, { skip }, async () => {
    const server = await startNative(root);
    const { context, page } = await openBrowser({ viewport: { width: screen.width, height: screen.height }, colorScheme: screen.colorScheme });
    try {
      await loadPage(page, server);
      const waitIdle = () => page.waitForFunction(() => document.getElementById('progress').hidden &&
        !document.getElementById('btn-scan').disabled, null, { timeout: 60_000 });
      const text = async (sel) => ((await page.locator(sel).first().textContent()) ?? '').trim();
      await waitIdle();
      await page.click('#btn-defaults');
      for (const id of [...TOOLS, ...STORES]) {
        // Never pre-selected; the row says it is Windows' own tool and how long it takes.
        assert.equal(await page.isChecked(`#it-${id}`), false, id);
        assert.match(await text(`.item[data-id="${id}"] .item-badges`), /Windows 自带工具/);
        // The points and packages go one by one and may be stopped between two.
        assert.match(await text(`#desc-${id}`), STORES.includes(id) ? /用时 .+；可以中途停止/ : /用时 .+；开始后不能停止，关闭 Tamsel 也不会中断它/);
      }
      await page.click('#btn-none');
      for (const id of [...TOOLS, ...STORES]) await page.check(`#it-${id}`);
      await page.click('#btn-scan');
      await waitIdle();
      const store = '.item[data-id="component-cleanup"]';
      await page.locator(store).scrollIntoViewIfNeeded();
      assert.equal(await text(`${store} .item-size .n`), '估计');
      assert.match(await text(`${store} .item-tool-note`), /^(估计：可回收的包 \d+ 个，DISM 建议清理：(是|否))/);
      assert.match(await text('.item[data-id="hiber-reduced"] .item-tool-note'), /^估计：休眠文件现在 约 .+，精简后约为一半$/);
      // The demo's Windows 10 22H2 holds its reserved storage; Compact OS is off.
      assert.equal(await text('.item[data-id="reserved-storage"] .item-tool-note'),
        '估计：保留的存储已打开，Windows 为更新预留约 7 GB（实际大小随系统而变）');
      assert.equal(await text('.item[data-id="reserved-storage"] .item-size .v'), '7.0 GB');
      assert.equal(await text('.item[data-id="compact-os"] .item-tool-note'),
        '估计：压缩系统文件通常可省出 2–4 GB，实际多少要压缩后才知道');
      assert.equal(await text('.item[data-id="compact-os"] .item-size .n'), '估计');
      const first = screen === SCREENS[0];
      const rows = async (sel) => page.$$eval(`${sel} tr[data-state]`, (l) => l.map((r) =>
        [r.dataset.state, ...[...r.cells].map((c) => c.textContent)]));
      const points = '.item[data-id="restore-points"]', drivers = '.item[data-id="old-drivers"]';
      if (first) {
        assert.match(await text(`${points} .item-tool-note`), /^估计：共 3 个还原点，将删除较旧的 2 个，保留最新的「Scheduled Checkpoint」；C 盘的卷影存储已用 约 6\.1 GB/);
        assert.equal(await text(`${points} .item-size .v`), '6.1 GB');
        assert.equal(await text(`${points} .tool-entries summary`), '列出的 3 个还原点，其中 2 个将删除');
        assert.deepEqual(await rows(points), [
          ['keep', 'Scheduled Checkpoint', '2024-01-08 08:00（UTC+08:00）', '最新的还原点，保留'],
          ['goes', 'Windows Modules Installer', '2023-12-15 20:15（UTC+08:00）', '将删除'],
          ['goes', 'Installed NVIDIA Graphics Driver', '2023-11-02 09:30（UTC+08:00）', '将删除']]);
        assert.match(await text(`${drivers} .item-tool-note`), /^估计：第三方驱动程序包 5 个，其中 3 个已有同一驱动的新版本，可以删除/);
        assert.deepEqual((await rows(drivers)).map((r) => r.slice(0, 7)), [
          ['goes', 'nvlt.inf（oem3.inf）', 'NVIDIA', 'Display', '31.0.15.1694', '2022-11-01', '820.0 MB'],
          ['goes', 'rtkvhd64.inf（oem5.inf）', 'Realtek Semiconductor Corp.', 'MEDIA', '6.0.9150.1', '2021-05-01', '95.0 MB'],
          ['goes', 'nvlt.inf（oem7.inf）', 'NVIDIA', 'Display', '31.0.15.2849', '2023-01-10', '860.0 MB'],
          ['keep', 'rtkvhd64.inf（oem9.inf）', 'Realtek Semiconductor Corp.', 'MEDIA', '6.0.9381.1', '2022-09-14', '110.0 MB'],
          ['keep', 'nvlt.inf（oem11.inf）', 'NVIDIA', 'Display', '31.0.15.3623', '2023-06-08', '910.0 MB']]);
      } else {
        // What the first run left: the newest point, and the package in use.
        assert.match(await text(`${points} .item-tool-note`), /^只有 1 个还原点，它是最新的，会保留；没有可以删除的/);
        assert.deepEqual((await rows(drivers)).filter((r) => r[0] === 'goes').map((r) => r[1]), ['nvlt.inf（oem7.inf）']);
      }
      await page.locator(drivers).scrollIntoViewIfNeeded();
      await shot(page, `tools-scan-${label}`);

      await page.click('#btn-clean');
      await page.waitForSelector('#dlg-confirm[open]');
      const box = await text('#confirm-tools');
      assert.match(box, /组件存储清理：用时 约 5–60 分钟；开始后不能停止，关闭 Tamsel 也不会中断它/);
      assert.match(box, /减小休眠文件：用时 几秒钟；开始后不能停止/);
      assert.match(box, /保留的存储：用时 几秒钟；开始后不能停止/);
      assert.match(box, /压缩系统文件 \(Compact OS\)：用时 约 10–20 分钟；开始后不能停止/);
      // Every option and button of the confirmation is in view as it opens,
      // inside the window and inside the part of the body that shows.
      const boxes = await page.evaluate(() => {
        const rect = (el) => { const r = el.getBoundingClientRect(); return { top: r.top, bottom: r.bottom, left: r.left, right: r.right }; };
        const body = document.getElementById('confirm-body');
        return {
          body: rect(body), scrollTop: body.scrollTop, vw: innerWidth, vh: innerHeight,
          els: Object.fromEntries(['opt-resetbase', 'opt-explorer', 'btn-confirm-yes', 'btn-confirm-no']
            .map((id) => [id, { ...rect(document.getElementById(id)), inBody: body.contains(document.getElementById(id)) }])),
        };
      });
      assert.equal(boxes.scrollTop, 0);
      for (const [id, r] of Object.entries(boxes.els)) {
        assert.ok(r.top >= 0 && r.bottom <= boxes.vh && r.left >= 0 && r.right <= boxes.vw, `${id} in the window: ${JSON.stringify(r)}`);
        if (r.inBody) assert.ok(r.top >= boxes.body.top && r.bottom <= boxes.body.bottom, `${id} in the body's view: ${JSON.stringify(r)} ${JSON.stringify(boxes.body)}`);
      }
      // The points and packages that will go, listed before anything starts.
      const going = async (id) => page.$$eval(`#confirm-tools li`, (l, name) => {
        const li = l.find((e) => e.textContent.startsWith(name));
        return li ? [...li.querySelectorAll('tr[data-state]')].map((r) => r.cells[0].textContent) : null;
      }, id);
      assert.deepEqual(await going('系统还原点'), first ? ['Windows Modules Installer', 'Installed NVIDIA Graphics Driver'] : []);
      assert.deepEqual(await going('旧版驱动程序包'), first ? ['nvlt.inf（oem3.inf）', 'rtkvhd64.inf（oem5.inf）', 'nvlt.inf（oem7.inf）'] : ['nvlt.inf（oem7.inf）']);
      if (first) assert.match(box, /将删除的 2 个还原点.*Windows Modules Installer2023-12-15 20:15（UTC\+08:00）/);
      // DISM's /ResetBase: off by default, and ticked only through its own confirmation.
      assert.equal(await page.isChecked('#opt-resetbase'), false);
      const wantReset = screen === SCREENS[0];
      if (wantReset) {
        page.once('dialog', (d) => d.dismiss());
        await page.click('#opt-resetbase');
        assert.equal(await page.isChecked('#opt-resetbase'), false, 'declined: stays off');
        page.once('dialog', (d) => { assert.match(d.message(), /已经安装的 Windows 更新将不能再卸载/); d.accept(); });
        await page.click('#opt-resetbase');
        assert.equal(await page.isChecked('#opt-resetbase'), true);
      }
      await shot(page, `tools-confirm-${label}`);
      const cleanRequest = page.waitForRequest((r) => r.url().endsWith('/api/clean'));
      await page.click('#btn-confirm-yes');
      const sent = JSON.parse((await cleanRequest).postData());
      assert.equal(sent.resetBase, wantReset ? true : undefined);
      assert.equal(sent.dryRun, false);
      await page.waitForFunction(() => document.getElementById('dlg-result').open &&
        !/预览/.test(document.getElementById('result-title').textContent), null, { timeout: 60_000 });
      for (const id of TOOLS) {
        const row = `#result-table tr[data-id="${id}"]`;
        assert.match(await text(`${row} td.num`), /^(约 .+|未知)$/);
        assert.match(await text(`${row} .tool-note`), /(已完成；C: 可用空间 约 .+ → 约 |不适用)/);
      }
      const res = (id) => `#result-table tr[data-id="${id}"]`;
      assert.match(await text(`${res('restore-points')} .tool-note`), first
        ? /^已删除 2 个还原点，保留最新的 1 个；C: 可用空间 约 .+ → 约 / : /^没有要删除的还原点，最新的 1 个保留$/);
      assert.match(await text(`${res('old-drivers')} .tool-note`), first
        ? /^已删除 2 个驱动程序包，1 个未删除；C: 可用空间 约 .+ → 约 / : /^已删除 0 个驱动程序包，1 个未删除；/);
      assert.deepEqual((await rows(res('old-drivers'))).filter((r) => r[0] !== 'kept').map((r) => [r[0], r[1], r[7]]), [
        ...(first ? [['removed', 'nvlt.inf（oem3.inf）', '已删除'], ['removed', 'rtkvhd64.inf（oem5.inf）', '已删除']] : []),
        ['skipped', 'nvlt.inf（oem7.inf）', '未删除(有设备正在使用这个驱动程序包)，错误代码 0xE000023D']]);
      await shot(page, `tools-result-${label}`);
      assert.match(await text('#result-table tr[data-id="reserved-storage"] .tool-note'), /^已完成；C: 可用空间 约 /);
      assert.match(await text('#result-table tr[data-id="compact-os"] .tool-note'), /^已完成；C: 可用空间 约 /);
      await page.locator('#dlg-result [data-close]').first().click();

      // The settings turn both back, each asked once more, one after the other.
      await page.click('#btn-settings');
      await page.waitForSelector('#dlg-settings[open]');
      for (const [btn, asked, done] of [
        ['#btn-undo-reserved', /重新打开保留的存储.+开始后不能停止/, '已重新打开保留的存储，Windows 会重新为更新预留空间'],
        ['#btn-undo-compact', /关闭系统文件压缩.+约 10–20 分钟.+开始后不能停止/, '已关闭系统文件压缩，系统文件已恢复为不压缩'],
      ]) {
        page.once('dialog', (d) => { assert.match(d.message(), asked); d.accept(); });
        await page.locator(btn).scrollIntoViewIfNeeded();
        await page.click(btn);
        await page.waitForFunction((t) => document.getElementById('tool-undo-state').textContent === t, done, { timeout: 30_000 });
      }
      await shot(page, `tools-settings-${label}`);
      await page.locator('#dlg-settings [data-close]').first().click();
      assert.deepEqual(page.errors, []);
    } finally {
      await closeBrowser(context);
      await server.stop();
    }
  });
}


// Without administrator rights and with every item that needs them ticked
// beside the tools, the confirmation at 1280×600 still shows the restart as
// administrator, DISM's /ResetBase and every button without scrolling.
test('1280x600: not elevated, many items ticked: every choice of the confirmation is in view', { skip }, async () => {
  const server = await startNative(root);
  const { context, page } = await openBrowser({ viewport: { width: 1280, height: 600 }, colorScheme: 'light' });
  try {
    await page.route('**/api/env', async (route) => {
      const res = await route.fetch();
      route.fulfill({ json: { ...(await res.json()), admin: false } });
    });
    await loadPage(page, server);
    await page.waitForFunction(() => !document.getElementById('btn-scan').disabled, null, { timeout: 60_000 });
    await page.click('#btn-defaults');
    const adminIds = await page.$$eval('li.item', (l) => l.filter((e) =>
      [...e.querySelectorAll('.item-badges .badge')].some((b) => b.textContent === '需管理员')).map((e) => e.dataset.id));
    assert.ok(adminIds.length >= 15, adminIds.join(' '));
    for (const id of adminIds) await page.check(`#it-${id}`);
    await page.click('#btn-clean');
    await page.waitForSelector('#dlg-confirm[open]');
    assert.ok((await page.$$('#confirm-admin li')).length >= 15);
    const boxes = await page.evaluate(() => {
      const rect = (el) => { const r = el.getBoundingClientRect(); return { top: r.top, bottom: r.bottom, left: r.left, right: r.right }; };
      const body = document.getElementById('confirm-body');
      const elevate = [...document.querySelectorAll('#confirm-admin button')].find((b) => b.textContent === '先以管理员身份重启');
      return {
        body: rect(body), scrollTop: body.scrollTop, vh: innerHeight, vw: innerWidth,
        els: Object.fromEntries([['elevate', elevate], ...['opt-resetbase', 'opt-explorer', 'btn-confirm-yes', 'btn-confirm-no']
          .map((id) => [id, document.getElementById(id)])].map(([k, el]) => [k, el ? { ...rect(el), inBody: body.contains(el) } : null])),
      };
    });
    assert.equal(boxes.scrollTop, 0);
    for (const [id, r] of Object.entries(boxes.els)) {
      assert.ok(r, `${id} is there`);
      assert.ok(r.top >= 0 && r.bottom <= boxes.vh && r.left >= 0 && r.right <= boxes.vw, `${id} in the window: ${JSON.stringify(r)}`);
      if (r.inBody) assert.ok(r.top >= boxes.body.top && r.bottom <= boxes.body.bottom, `${id} in the body's view: ${JSON.stringify(r)} ${JSON.stringify(boxes.body)}`);
    }
    await shot(page, 'tools-confirm-not-elevated-1280x600-light');
    await page.click('#btn-confirm-no');
    assert.deepEqual(page.errors, []);
  } finally {
    await closeBrowser(context);
    await server.stop();
  }
});
