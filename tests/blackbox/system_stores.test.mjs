// The restore points and the old driver packages, from outside, on each
// build: a scan lists the points and packages with what would go, a real
// clean removes exactly those through the system's APIs, skips a package a
// device uses with Windows' reason, and records C:'s free space around it
// (native, over the stand-in's WMI, srclient.dll and SetupAPI); under wine,
// whose WMI lists one restore point without number or time and whose
// driver store holds no third-party package, each item says plainly what it
// met and nothing on the drive changes.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { builds } from './harness.mjs';
import { windowsEnv, hostOf, listDrive, diffListings, relKey, waitTask, Planter } from './fixtures.mjs';

const READY = /\[ok\] 关闭本窗口即退出程序\n/;
const ITEMS = ['restore-points', 'old-drivers'];
const MB = 1024 * 1024;
const ENTRY_KEYS = ['id', 'name', 'provider', 'class', 'version', 'date', 'bytes', 'sizeKnown', 'state', 'note'];

// An INF's [Version] as Windows' driver documentation shows it.
const inf = (provider, cls, driverVer) =>
  `[Version]\r\nSignature="$WINDOWS NT$"\r\nClass=${cls}\r\nProvider=%P%\r\nDriverVer=${driverVer}\r\n` +
  `CatalogFile=x.cat\r\n\r\n[Strings]\r\nP="${provider}"\r\n`;
const utf16 = (text) => Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from(text, 'utf16le')]);

for (const build of builds()) {
  describe(`${build.name}: restore points and old driver packages`, () => {
    const env = windowsEnv(build);
    const native = build.name === 'native';
    const stateKey = relKey(build, `${env.LOCALAPPDATA}\\tamsel`);
    const plant = new Planter(build);
    const REPO = 'C:\\Windows\\System32\\DriverStore\\FileRepository';
    const POINTS = 'C:\\System Volume Information\\Restore';
    let srv = null;

    const write = (winPath, bytes) => {
      plant.file(winPath, 0);
      fs.writeFileSync(hostOf(build, winPath), bytes);
    };
    const pkg = (oem, original, folder, bytes, size) => {
      write(`C:\\Windows\\INF\\${oem}`, bytes);
      write(`${REPO}\\${folder}\\${original}`, bytes);
      plant.file(`${REPO}\\${folder}\\payload.bin`, size);
    };

    before(async () => {
      if (native) {
        // The stand-in's APIs and what they list.
        write('C:\\Windows\\System32\\wbem\\wbemprox.dll', 'ok');
        write('C:\\Windows\\System32\\srclient.dll', 'ok');
        write('C:\\Windows\\System32\\setupapi.dll', 'ok\noem12.inf in-use\n');
        write(`${POINTS}\\RP7.rp`, '20231101080000.000000+480\r\nInstalled Contoso Driver\r\n');
        fs.truncateSync(hostOf(build, `${POINTS}\\RP7.rp`), 4 * MB);
        write(`${POINTS}\\RP8.rp`, '20240110200000.000000+480\r\nWindows Update\r\n');
        fs.truncateSync(hostOf(build, `${POINTS}\\RP8.rp`), 2 * MB);
        pkg('oem3.inf', 'nvlt.inf', 'nvlt.inf_amd64_3333', inf('NVIDIA', 'Display', '01/10/2023,31.0.15.2849'), 3 * MB);
        pkg('oem7.inf', 'nvlt.inf', 'nvlt.inf_amd64_7777', utf16(inf('NVIDIA', 'Display', '06/08/2023,31.0.15.3623')), 4 * MB);
        pkg('oem12.inf', 'nvlt.inf', 'nvlt.inf_amd64_cccc', inf('NVIDIA', 'Display', '11/01/2022,31.0.15.1694'), 2 * MB);
      }
      srv = await build.start([]);
      await srv.waitFor(READY, 15_000);
    });

    after(async () => {
      await srv?.stop();
      plant.removeAll();
    });

    test('the catalogue lists them after the reduced hibernation file, never pre-selected, needing an administrator', async () => {
      const rules = (await srv.get('/api/rules')).json;
      const tools = rules.categories.find((c) => c.id === 'systools').items;
      const ids = tools.map((i) => i.id);
      assert.deepEqual(ids.slice(ids.indexOf('hiber-reduced')), ['hiber-reduced', ...ITEMS]);
      const mine = tools.filter((i) => ITEMS.includes(i.id));
      assert.deepEqual(mine.map((i) => [i.name, i.mode, i.defaultEnabled, i.tool]), [
        ['系统还原点', 'systool', false, { time: '约 1 分钟', stoppable: true }],
        ['旧版驱动程序包', 'systool', false, { time: '约 1–5 分钟', stoppable: true }]]);
      const meta = (await srv.get('/api/meta')).json;
      for (const id of ITEMS) assert.ok(meta.adminItems.includes(id), id);
    });

    test('a scan lists what would go; a real clean removes only that, skips what Windows refuses, and records it', async (t) => {
      const admin = (await srv.get('/api/env')).json.admin;
      assert.equal((await srv.post('/api/scan', { items: ITEMS })).json.ok, true);
      await waitTask(srv);
      const scan = (await srv.get('/api/scanresult')).json;
      assert.deepEqual(scan.items.map((i) => i.id), ITEMS);
      const [points, drivers] = scan.items;
      if (native) {
        assert.equal(admin, true, 'the native tests run as root, the stand-in\'s administrator');
        assert.deepEqual(Object.keys(points.tool), ['note', 'unknown', 'freeBefore', 'freeAfter', 'entries']);
        assert.equal(points.bytes, 6 * MB);
        assert.equal(points.tool.note,
          '估计：共 2 个还原点，将删除较旧的 1 个，保留最新的「Windows Update」；C 盘的卷影存储已用 约 6.0 MB，删除后最多可回收这么多');
        for (const e of [...points.tool.entries, ...drivers.tool.entries]) assert.deepEqual(Object.keys(e), ENTRY_KEYS);
        assert.deepEqual(points.tool.entries.map((e) => [e.id, e.name, e.date, e.state]), [
          ['8', 'Windows Update', '2024-01-10 20:00（UTC+08:00）', 'keep'],
          ['7', 'Installed Contoso Driver', '2023-11-01 08:00（UTC+08:00）', 'goes']]);
        assert.deepEqual(drivers.tool.entries.map((e) => [e.id, e.name, e.provider, e.class, e.version, e.date, e.state]), [
          ['oem3.inf', 'nvlt.inf', 'NVIDIA', 'Display', '31.0.15.2849', '2023-01-10', 'goes'],
          ['oem7.inf', 'nvlt.inf', 'NVIDIA', 'Display', '31.0.15.3623', '2023-06-08', 'keep'],
          ['oem12.inf', 'nvlt.inf', 'NVIDIA', 'Display', '31.0.15.1694', '2022-11-01', 'goes']]);
        assert.ok(drivers.tool.entries.every((e) => e.sizeKnown && e.bytes >= 2 * MB));
        assert.equal(drivers.bytes, drivers.tool.entries[0].bytes + drivers.tool.entries[2].bytes);
      } else if (!admin) {
        for (const i of scan.items) assert.match(i.tool.note, /^需要管理员权限/);
      } else {
        // Wine: its WMI lists one point with neither number nor time, or
        // fails; no third-party packages, or no SetupAPI function to place them.
        assert.match(points.tool.note,
          /^(系统还原点的信息无法读取（WMI 的回答里没有还原点的编号或时间），不会删除任何还原点|无法读取系统还原点（WMI 错误 0x[0-9A-F]{8}），不会删除任何还原点|没有系统还原点，此项不适用)/);
        assert.match(drivers.tool.note, /^(没有第三方驱动程序包，此项不适用|系统里没有 SetupGetInfDriverStoreLocationW)/);
        for (const i of scan.items) assert.equal(i.bytes, 0);
        t.diagnostic(`wine said: ${points.tool.note} | ${drivers.tool.note}`);
      }

      const beforeList = listDrive(build);
      assert.equal((await srv.post('/api/clean', { items: ITEMS, dryRun: false })).json.ok, true);
      await waitTask(srv);
      const res = (await srv.get('/api/result')).json;
      assert.deepEqual(res.items.map((i) => i.id), ITEMS);
      const d = diffListings(beforeList, listDrive(build));
      const own = (k) => k.startsWith(`${stateKey}/`);
      const [rp, rd] = res.items;
      if (native) {
        const key = (w) => relKey(build, w);
        assert.deepEqual(d.gone.filter((k) => !own(k)), [
          key(`${POINTS}\\RP7.rp`),
          key(`${REPO}\\nvlt.inf_amd64_3333`), key(`${REPO}\\nvlt.inf_amd64_3333\\nvlt.inf`),
          key(`${REPO}\\nvlt.inf_amd64_3333\\payload.bin`),
          key('C:\\Windows\\INF\\oem3.inf')].sort());
        assert.deepEqual(rp.tool.entries.map((e) => [e.id, e.state]), [['7', 'removed'], ['8', 'kept']]);
        assert.match(rp.tool.note, /^已删除 1 个还原点，保留最新的 1 个；C: 可用空间 约 .+ → 约 /);
        assert.ok(rp.tool.freeBefore > 0 && rp.tool.freeAfter > 0, JSON.stringify(rp.tool));
        assert.deepEqual(rd.tool.entries.map((e) => [e.id, e.state, e.note]), [
          ['oem3.inf', 'removed', '已删除'],
          ['oem7.inf', 'kept', '同一驱动最新的版本，保留'],
          ['oem12.inf', 'skipped', '未删除(有设备正在使用这个驱动程序包)，错误代码 0xE000023D']]);
        assert.equal(rd.skipped, 1);
        assert.deepEqual(rd.errors, ['oem12.inf：未删除(有设备正在使用这个驱动程序包)，错误代码 0xE000023D']);
      } else {
        // Nothing removed, nothing but the program's own state changed.
        assert.deepEqual(d.gone.filter((k) => !own(k)), []);
        for (const r of res.items) {
          assert.equal(r.files, 0);
          assert.match(r.errors[0] || r.tool.note, /没有删除任何|此项不适用|请先扫描/, r.tool.note);
        }
      }
      assert.deepEqual(d.changed.filter((k) => !own(k)), []);
      assert.deepEqual(d.added.filter((k) => !own(k)), []);
      // The record: one line per point and package acted on, one for each action.
      const rec = (await srv.get('/api/history')).json.records[0];
      assert.deepEqual(rec.items, ITEMS);
      const doc = (await srv.get(`/api/history/record?id=${rec.id}&offset=0&limit=5000`)).json;
      const lines = doc.lines.map((l) => [l.item, l.kind, l.path, l.reason]);
      if (native) {
        assert.deepEqual(lines.map((l) => l.slice(0, 2)), [['restore-points', 'deleted'], ['restore-points', 'deleted'],
          ['old-drivers', 'deleted'], ['old-drivers', 'skipped'], ['old-drivers', 'deleted']]);
        assert.equal(lines[0][2], '系统还原点 #7「Installed Contoso Driver」2023-11-01 08:00（UTC+08:00）');
        assert.equal(lines[3][2], '旧版驱动程序包 oem12.inf（nvlt.inf，NVIDIA，31.0.15.1694，2022-11-01）');
        assert.equal(lines[3][3], '未删除(有设备正在使用这个驱动程序包)，错误代码 0xE000023D');
        assert.match(lines[4][2], /^旧版驱动程序包（C: 可用空间 约 .+ → 约 .+）$/);
      } else {
        for (const l of lines) assert.notEqual(l[1], 'deleted', JSON.stringify(l));
      }
    });
  });
}
