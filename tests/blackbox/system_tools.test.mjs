// The items of Windows' own tools, from outside, on each build: their
// catalogue entries; a scan's analysis and a real clean's action with its
// result and record over the stand-in's dism.exe and powercfg.exe (native);
// under wine, where powercfg.exe is missing, there is no hibernation file and
// dism.exe ends with 0 without a word, each item says plainly what it met,
// and nothing else on the drive changes while the clean goes on with the
// other items. The reserved storage (over the stand-in's Windows 10 22H2)
// and Compact OS (over its kernel's WOF backing) are analysed, acted on and
// turned back through /api/systool/undo; under wine, whose Windows is older
// or whose dism.exe says nothing and which has no compact.exe, each says so.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { builds } from './harness.mjs';
import { windowsEnv, hostOf, listDrive, diffListings, relKey, waitTask } from './fixtures.mjs';

const READY = /\[ok\] 关闭本窗口即退出程序\n/;
const TOOLS = ['component-cleanup', 'reserved-storage', 'compact-os', 'hiber-reduced'];
// Every item of the mode (system_stores.test.mjs tests the last two).
const ALL_TOOLS = [...TOOLS, 'restore-points', 'old-drivers'];
const W = (...parts) => parts.join('\\');
const MB = 1024 * 1024;
const NEEDS_ADMIN = '需要管理员权限：请点「以管理员身份重启」后再试，没有运行任何程序';

for (const build of builds()) {
  describe(`${build.name}: Windows' own tools`, () => {
    const env = windowsEnv(build);
    const native = build.name === 'native';
    const stateKey = relKey(build, W(env.LOCALAPPDATA, 'tamsel'));
    const TEMP_DIR = W(env.TEMP, 'tamsel-bb-tools');
    const JUNK = W(TEMP_DIR, 'junk.tmp');
    // Native only: the stand-in's tools and what they act on.
    const DISM = 'C:\\Windows\\System32\\dism.exe';
    const POWERCFG = 'C:\\Windows\\System32\\powercfg.exe';
    const BACKUP = 'C:\\Windows\\WinSxS\\Backup\\tamsel-bb.cab';
    const HIBER = 'C:\\hiberfil.sys';
    const COMPACT = 'C:\\Windows\\System32\\compact.exe';
    const KERNEL = 'C:\\Windows\\System32\\ntoskrnl.exe';
    const plantedNative = native ? [DISM, POWERCFG, BACKUP, HIBER, COMPACT, KERNEL] : [];
    // The stand-in's machine beside its drives: Windows 10 22H2 with 7 GB of
    // reserved storage, Compact OS off.
    const standIn = (name) => path.join(path.dirname(hostOf(build, 'C:\\')), name);
    const STAND_IN_FILES = ['windows-version', 'c.reserved', 'c.reserved.off', 'compact-os'];
    let srv = null;

    const markHost = hostOf(build, W(env.LOCALAPPDATA, 'tamsel', 'tool-running.txt'));

    before(async () => {
      // The mark an earlier run left when it ended while DISM ran on.
      fs.mkdirSync(path.dirname(markHost), { recursive: true });
      fs.writeFileSync(markHost, '组件存储清理\n');
      fs.mkdirSync(hostOf(build, TEMP_DIR), { recursive: true });
      fs.writeFileSync(hostOf(build, JUNK), 'j'.repeat(100));
      for (const w of plantedNative) {
        const host = hostOf(build, w);
        assert.ok(!fs.existsSync(host), `${w} is not the test's to plant`);
        fs.mkdirSync(path.dirname(host), { recursive: true });
        fs.writeFileSync(host, '');
      }
      if (native) {
        fs.truncateSync(hostOf(build, BACKUP), 6 * MB);
        fs.truncateSync(hostOf(build, HIBER), 64 * MB);
        for (const f of STAND_IN_FILES) assert.ok(!fs.existsSync(standIn(f)), `${f} is not the test's to plant`);
        fs.writeFileSync(standIn('windows-version'), '10.0.19045\n');
        fs.writeFileSync(standIn('c.reserved'), `${7 * 1024 * MB}\n`);
      }
      srv = await build.start([]);
      await srv.waitFor(READY, 15_000);
    });

    after(async () => {
      await srv?.stop();
      fs.rmSync(hostOf(build, TEMP_DIR), { recursive: true, force: true });
      for (const w of plantedNative) fs.rmSync(hostOf(build, w), { force: true });
      if (native) for (const f of STAND_IN_FILES) fs.rmSync(standIn(f), { force: true });
    });

    test('a start after a run that ended while a tool ran on says so, once', async () => {
      const envDoc = (await srv.get('/api/env')).json;
      assert.equal(envDoc.toolLeftRunning, '组件存储清理');
      assert.deepEqual(Object.keys(envDoc), ['ok', 'admin', 'version', 'name', 'drive', 'toolLeftRunning']);
      assert.equal(fs.existsSync(markHost), false, 'the mark is taken once read');
    });

    test('the catalogue names them as system tools, never pre-selected, needing an administrator', async () => {
      const rules = (await srv.get('/api/rules')).json;
      const items = rules.categories.flatMap((c) => c.items);
      const tools = items.filter((i) => i.mode === 'systool');
      assert.deepEqual(tools.map((i) => i.id), ALL_TOOLS);
      assert.deepEqual(tools.slice(0, 4).map((i) => i.tool), [{ time: '约 5–60 分钟', stoppable: false }, { time: '几秒钟', stoppable: false },
        { time: '约 10–20 分钟', stoppable: false }, { time: '几秒钟', stoppable: false }]);
      assert.deepEqual(tools.slice(0, 4).map((i) => i.name), ['组件存储清理', '保留的存储', '压缩系统文件 (Compact OS)', '减小休眠文件']);
      for (const i of tools) assert.equal(i.defaultEnabled, false);
      // Only they carry "tool".
      assert.deepEqual(items.filter((i) => 'tool' in i).map((i) => i.id), ALL_TOOLS);
      const meta = (await srv.get('/api/meta')).json;
      for (const id of ALL_TOOLS) assert.ok(meta.adminItems.includes(id), id);
         // DISM's /ResetBase is asked for by its own flag, of its own type.
      assert.equal((await srv.post('/api/clean', { items: TOOLS, dryRun: false, resetBase: 'yes' })).text,
        '{"ok":false,"message":"resetBase 必须是 true 或 false"}');
    });

    test('a scan analyses them and a real clean runs them after the file items, recording C:\'s free space', async () => {
      const admin = (await srv.get('/api/env')).json.admin;
      assert.equal((await srv.post('/api/scan', { items: TOOLS })).json.ok, true);
      await waitTask(srv);
      const scan = (await srv.get('/api/scanresult')).json;
      assert.deepEqual(scan.items.map((i) => i.id), TOOLS);
      const [store, reserved, compact, hiber] = scan.items;
      assert.deepEqual(Object.keys(store.tool), ['note', 'unknown', 'freeBefore', 'freeAfter']);
      if (native) {
        assert.equal(admin, true, 'the native tests run as root, the stand-in\'s administrator');
        assert.equal(store.tool.unknown, false);
        assert.ok(Math.abs(store.bytes - 6 * MB) < 0.01 * MB, String(store.bytes));
        assert.match(store.tool.note, /^估计：可回收的包 2 个，DISM 建议清理：是；/);
        assert.equal(hiber.bytes, 32 * MB);
        assert.equal(hiber.tool.note, '估计：休眠文件现在 约 64.0 MB，精简后约为一半');
        assert.equal(reserved.bytes, 7 * 1024 * MB);
        assert.equal(reserved.tool.note, '估计：保留的存储已打开，Windows 为更新预留约 7 GB（实际大小随系统而变）');
        assert.equal(compact.bytes, 2 * 1024 * MB);
        assert.equal(compact.tool.note, '估计：压缩系统文件通常可省出 2–4 GB，实际多少要压缩后才知道');
      } else if (!admin) {
        for (const i of scan.items) assert.equal(i.tool.note, NEEDS_ADMIN);
      } else {
        // Wine: a dism.exe that is not Windows' (or none); no hibernation file.
        assert.equal(store.tool.unknown, true);
        assert.equal(store.bytes, 0);
        assert.match(store.tool.note, /^(系统里没有 dism\.exe，没有运行|dism\.exe 失败（退出代码 \d+|估计：可回收的包 未知)/, store.tool.note);
        assert.match(hiber.tool.note, /^(休眠已关闭，没有休眠文件，此项不适用|估计：)/);
        // Wine's Windows is older than 10 2004 (or its dism.exe says nothing),
        // and whether its ntoskrnl.exe is WOF-backed it may or may not tell.
        assert.equal(reserved.bytes, 0);
        assert.match(reserved.tool.note, /^(此项不适用：保留的存储只有 Windows 10 2004（版本 19041）及以后的系统才有，这台电脑是 Windows \d+\.\d+\.\d+$|保留的存储是否打开未知（dism\.exe 的输出无法读取|系统里没有 dism\.exe|dism\.exe 失败（退出代码 )/, reserved.tool.note);
        assert.match(compact.tool.note, /^(估计：压缩系统文件通常可省出 2–4 GB|无法确定系统文件是否已经压缩|系统文件已经压缩)/, compact.tool.note);
      }

      const beforeList = listDrive(build);
      const body = { items: ['user-temp', ...TOOLS], dryRun: false };
      assert.equal((await srv.post('/api/clean', body)).json.ok, true);
      await waitTask(srv);
      const res = (await srv.get('/api/result')).json;
      // Catalogue order: the file item first, the tools after it.
      assert.deepEqual(res.items.map((i) => i.id), ['user-temp', ...TOOLS]);
      assert.ok(!('tool' in res.items[0]));
      const d = diffListings(beforeList, listDrive(build));
      const own = (k) => k.startsWith(`${stateKey}/`);
      assert.ok(d.gone.includes(relKey(build, JUNK)), d.gone.join(' '));
      const others = d.gone.filter((k) => !own(k) && !k.startsWith(relKey(build, env.TEMP) + '/'));
      const [rs, rr, rc] = res.items.slice(1);
      if (native) {
        assert.equal(rs.skipped, 0, JSON.stringify(rs));
        assert.ok(rs.tool.freeBefore > 0 && rs.tool.freeAfter > 0);
        assert.match(rs.tool.note, /^已完成；C: 可用空间 约 .+ → 约 /);
        assert.deepEqual(others, [relKey(build, BACKUP)]);
        assert.deepEqual(d.changed.filter((k) => !own(k)).map((k) => k.split(':')[0]), [relKey(build, HIBER)]);
        assert.equal(fs.statSync(hostOf(build, HIBER)).size, 32 * MB);
        // Reserved storage off, Compact OS on: the stand-in's machine, not its drive.
        for (const r of [rr, rc]) {
          assert.equal(r.skipped, 0, JSON.stringify(r));
          assert.match(r.tool.note, /^已完成；C: 可用空间 约 .+ → 约 /);
        }
        assert.ok(!fs.existsSync(standIn('c.reserved')) && fs.existsSync(standIn('c.reserved.off')));
        assert.ok(fs.existsSync(standIn('compact-os')));
      } else {
        // Nothing but the temporary files and the program's own state.
        assert.deepEqual(others, []);
        assert.deepEqual(d.changed.filter((k) => !own(k)), []);
        // Wine's dism.exe ends with 0 and says nothing: done by its exit code.
        if (admin) assert.match(rs.errors[0] || rs.tool.note, /^(系统里没有 dism\.exe|dism\.exe 失败|已完成；C: 可用空间 约 )/);
        // No compact.exe in wine: nothing ran (unless its kernel already reads as compact).
        if (admin) assert.match(rc.errors[0] || rc.tool.note, /^(系统里没有 compact\.exe，没有运行；C: 可用空间 约 |系统文件已经压缩)/);
        if (admin) assert.match(rr.errors[0] || rr.tool.note, /^(此项不适用：|系统里没有 dism\.exe|dism\.exe 失败|保留的存储|已完成；C: 可用空间 约 )/);
      }
      assert.deepEqual(d.added.filter((k) => !own(k)), []);
      // The record names each action with C:'s free space around it.
      const rec = (await srv.get('/api/history')).json.records[0];
      assert.deepEqual(rec.items, ['user-temp', ...TOOLS]);
      const doc = (await srv.get(`/api/history/record?id=${rec.id}&offset=0&limit=5000`)).json;
      const storeLine = doc.lines.find((l) => l.item === 'component-cleanup');
      assert.ok(storeLine, JSON.stringify(doc.lines.slice(-3)));
      if (admin) assert.match(storeLine.path + storeLine.reason, /C: 可用空间 约 /);
      else assert.equal(storeLine.reason, NEEDS_ADMIN);
      assert.equal(storeLine.kind, rs.skipped ? 'skipped' : 'deleted');
    });

    test('the settings turn the reserved storage back on and Compact OS off, as the one task', async () => {
      const admin = (await srv.get('/api/env')).json.admin;
      // Refused before anything starts: a body of the wrong form, an unknown
      // item, an item with nothing to turn back.
      assert.equal((await srv.post('/api/systool/undo', { id: 7 })).text, '{"ok":false,"message":"id 必须是清理项 ID"}');
      assert.equal((await srv.post('/api/systool/undo', { id: 'nope' })).text, '{"ok":false,"message":"没有这个清理项"}');
      assert.equal((await srv.post('/api/systool/undo', { id: 'component-cleanup' })).text,
        admin ? '{"ok":false,"message":"此项没有可以撤销的设置"}' : `{"ok":false,"message":"${NEEDS_ADMIN}"}`);
      const beforeList = listDrive(build);
      for (const id of ['reserved-storage', 'compact-os']) {
        const started = (await srv.post('/api/systool/undo', { id })).json;
        if (!started.ok) {
          // Wine's Windows, older than 10 2004, has no reserved storage to turn on.
          assert.ok(!native && id === 'reserved-storage', JSON.stringify(started));
          assert.match(started.message, /^此项不适用：/);
          continue;
        }
        assert.deepEqual(started, { ok: true, started: true });
        await waitTask(srv);
        const u = (await srv.get('/api/systool/undo')).json;
        assert.deepEqual(Object.keys(u), ['ok', 'id', 'running', 'done', 'message']);
        assert.equal(u.id, id);
        assert.equal(u.running, false);
        if (native) {
          assert.equal(u.done, true);
          assert.equal(u.message, id === 'reserved-storage' ? '已重新打开保留的存储，Windows 会重新为更新预留空间'
            : '已关闭系统文件压缩，系统文件已恢复为不压缩');
        } else if (id === 'compact-os') {
          assert.deepEqual([u.done, u.message], [false, '系统里没有 compact.exe，没有运行']);
        }
      }
      if (native) {
        assert.ok(fs.existsSync(standIn('c.reserved')));
        assert.ok(!fs.existsSync(standIn('compact-os')));
      }
      const d = diffListings(beforeList, listDrive(build));
      const own = (k) => k.startsWith(`${stateKey}/`);
      assert.deepEqual([...d.gone, ...d.added, ...d.changed.map((k) => k.split(':')[0])].filter((k) => !own(k)), []);
    });

    test('while Windows services itself the reserved storage stays on, the clean says why and records it',
      { skip: native ? false : 'wine has its own dism.exe, which cannot be told to answer that servicing is in progress' }, async () => {
        fs.writeFileSync(hostOf(build, DISM), 'busy\n');
        try {
          assert.ok(fs.existsSync(standIn('c.reserved')), 'turned back on by the test before');
          const beforeList = listDrive(build);
          assert.equal((await srv.post('/api/clean', { items: ['reserved-storage'], dryRun: false })).json.ok, true);
          await waitTask(srv);
          const [r] = (await srv.get('/api/result')).json.items;
          assert.equal(r.skipped, 1);
          assert.equal(r.bytes, 0);
          assert.match(r.errors[0], /^Windows 正在安装或处理更新，保留的存储正在使用中，现在不能更改；请等更新完成（可能需要重启电脑）后再试，没有做任何更改（dism\.exe 失败（退出代码 0x80004005））；C: 可用空间 约 /);
          assert.ok(fs.existsSync(standIn('c.reserved')));
          const d = diffListings(beforeList, listDrive(build));
          const own = (k) => k.startsWith(`${stateKey}/`);
          assert.deepEqual([...d.gone, ...d.added, ...d.changed].filter((k) => !own(k)), []);
          const rec = (await srv.get('/api/history')).json.records[0];
          assert.deepEqual(rec.items, ['reserved-storage']);
          const doc = (await srv.get(`/api/history/record?id=${rec.id}&offset=0&limit=50`)).json;
          const line = doc.lines.find((l) => l.item === 'reserved-storage');
          assert.equal(line.kind, 'skipped');
          assert.match(line.reason, /^Windows 正在安装或处理更新/);
        } finally {
          fs.writeFileSync(hostOf(build, DISM), '');
        }
      });
  });
}
