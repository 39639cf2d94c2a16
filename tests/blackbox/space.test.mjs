// The space map through the real program, in both builds: the documents of
// /api/map/dir, /top and /kinds byte for byte on a fixture tree, the map
// task on the engine's one task (status, busy, cancel), every bad input,
// recycle (exactly the asked paths go to the bin, the whole drive listed
// before and after) and reveal.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { builds } from './harness.mjs';
import { windowsEnv, Planter, listDrive, diffListings, relKey, hostOf, fileTimeOf, waitTask } from './fixtures.mjs';

const NO_MAP = '{"ok":false,"message":"还没有空间分析结果"}';
const BUSY = '{"ok":false,"message":"已有任务在运行"}';
const STARTED = '{"ok":true,"started":true}';
const fail = (message) => JSON.stringify({ ok: false, message });

// The map's refusals, as the program sends them and the page shows them.
const WHY = {
  root: '这是磁盘的根目录',
  windows: '这是 Windows 系统文件夹，移走会让电脑无法正常运行',
  programs: '这是安装软件的文件夹，移走会让软件无法运行',
  programData: '这里保存着所有用户共用的软件设置和数据',
  users: '这里是电脑上所有用户的主文件夹',
  home: '这是用户的主文件夹',
  appData: '这里保存着所有软件的设置和数据',
  own: '这是 Tamsel 自己的数据文件夹（设置和清理记录）',
  desktop: '这是桌面或桌面上的内容，Tamsel 不移动桌面上的东西',
  kept: '已设为不清理',
  link: '这是链接（指向别处的文件夹），不能移到回收站',
  holdsKept: '里面有设为不清理的文件或文件夹',
};
// A path the system would cut short (a control character), refused before
// anything is asked of the system.
const CONTROL = '路径含有控制字符';

// A child of a folder document; a link's refusal is a link's.
const child = (name, dir, link, bytes, files, dirs, item, refuse = link ? WHY.link : '') =>
  JSON.stringify({ name, dir, link, bytes, files, dirs, ...(item ? { item } : {}), refuse });
const dirDoc = (p, bytes, files, dirs, denied, children, rest = [0, 0]) =>
  `{"ok":true,"path":${JSON.stringify(p)},"bytes":${bytes},"files":${files},"dirs":${dirs},` +
  `"denied":${denied},"children":[${children.join(',')}],"rest":{"count":${rest[0]},"bytes":${rest[1]}}}`;
const kindsDoc = (list) => `{"ok":true,"kinds":[${list.map(([kind, bytes, files]) =>
  JSON.stringify({ kind, bytes, files })).join(',')}]}`;

for (const build of builds()) {
  describe(`${build.name} space map`, { timeout: 300_000 }, () => {
    const env = windowsEnv(build);
    const W = (...parts) => parts.join('\\');
    const planter = new Planter(build);
    const F = 'C:\\tamsel-bb-space';
    const BULK = 'C:\\tamsel-bb-space-bulk';
    const SLOW = 'C:\\tamsel-bb-space-slow';
    const SLOW_DIRS = 300;
    const SLOW_FILES = 60_000;
    const OUTSIDE = 'C:\\tamsel-bb-space-outside';
    const TEMPROOT = W(env.TEMP, 'tamsel-bb-space-t');
    const native = build.name === 'native';
    let deep = W(F, 'deep');
    for (let i = 0; i < 14; i++) deep = W(deep, `level-${String(i).padStart(2, '0')}-with-a-long-name`);
    const files = {
      pak: [W(F, 'games', 'Big Game', 'data.pak'), 3_000_000],
      exe: [W(F, 'games', 'Big Game', 'game.exe'), 70_000],
      mp4: [W(F, 'videos', '假期.mp4'), 2_000_000],
      mkv: [W(F, 'videos', 'clip.MKV'), 500],
      vhdx: [W(F, 'vm', 'disk.vhdx'), 5_000_000],
      txt: [W(F, 'notes.txt'), 30],
      iso: [W(deep, 'end.iso'), 7],
      secret: [W(F, 'denied', 'secret.doc'), 99],
    };
    let srv;
    let denied = false;

    const dirOf = (p) => srv.get(`/api/map/dir?path=${encodeURIComponent(p)}`);
    async function mapOf(root) {
      const r = await srv.post('/api/map', root === undefined ? {} : { root });
      assert.equal(r.text, STARTED, root);
      return waitTask(srv, 120_000);
    }

    before(async () => {
      for (const [w, s] of Object.values(files)) planter.file(w, s);
      planter.link(W(F, 'lnk'), W(F, 'games'));
      planter.file(W(OUTSIDE, 'x.txt'), 5);
      planter.file(W(TEMPROOT, 'a', 'f.tmp'), 10);
      for (let d = 0; d < 80; d++) {
        for (let f = 0; f < 100; f++) planter.file(W(BULK, `d${String(d).padStart(2, '0')}`, `f${f}.bin`), 1);
      }
      // Enough folders that a walk of them lasts well beyond a request or two.
      for (let d = 0; d < SLOW_DIRS; d++) {
        for (let f = 0; f < SLOW_FILES / SLOW_DIRS; f++) planter.file(W(SLOW, `d${d}`, `f${f}`), 0);
      }
      if (native) {
        // The stand-in's emulation of a folder the user may not list.
        fs.chmodSync(hostOf(build, W(F, 'denied')), 0o000);
        denied = true;
      } else {
        console.log('# wine: no folder can be denied to a Windows program there; the denied folder is an ordinary one');
      }
      srv = await build.start([]);
      await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
    });

    after(async () => {
      await srv?.stop();
      if (denied) fs.chmodSync(hostOf(build, W(F, 'denied')), 0o755);
      planter.removeAll();
    });

    test('before any map every document says so', async () => {
      for (const p of ['/api/map/dir', `/api/map/dir?path=${encodeURIComponent(F)}`, '/api/map/top', '/api/map/kinds']) {
        assert.equal((await srv.get(p)).text, NO_MAP, p);
      }
      assert.equal((await srv.post('/api/map/recycle', { paths: [files.txt[0]] })).text, NO_MAP);
    });

    test('bad roots and bodies start no task', async () => {
      const cases = [
        [{ root: 'D:\\x' }, '只能分析 C 盘上的文件夹'],
        [{ root: '\\\\server\\share' }, '只能分析 C 盘上的文件夹'],
        [{ root: 'relative\\dir' }, '只能分析 C 盘上的文件夹'],
        [{ root: W(F, 'nothere') }, '文件夹不存在'],
        [{ root: files.txt[0] }, '不是文件夹'],
        [{ root: W(F, 'lnk') }, '路径含重解析点'],
        [{ root: W(F, 'games', '..', 'videos') }, '路径不能包含 . 或 ..'],
        [{ root: W(F, '.', 'games') }, '路径不能包含 . 或 ..'],
        // The system stops at the NUL: the walk would list the folder
        // before it, inside itself, ever deeper.
        [{ root: `${W(F, 'games')}\u0000` }, CONTROL],
        [{ root: `${env.ProgramFiles}\u0000` }, CONTROL],
        [{ root: `${W(F, 'games')}\u0000\\` }, CONTROL],
        [{ root: `${W(F, 'games')}\t` }, CONTROL],
        [{ root: `${W(F, 'games')}.` }, '路径中的名称不能以点或空格结尾'],
        [{ root: W(F, 'games', 'con') }, '路径中含有设备名（如 CON、NUL、COM1）'],
        [{ root: `\\\\?\\${W(F, 'games')}` }, '只能分析 C 盘上的文件夹'],
        [{ root: 5 }, 'root 必须是文件夹路径'],
        ['{"root":', '请求不是有效的 JSON 对象'],
        ['[1,2]', '请求不是有效的 JSON 对象'],
      ];
      for (const [body, message] of cases) {
        const r = await srv.post('/api/map', body, { headers: { 'Content-Type': 'application/json' } });
        assert.equal(r.text, fail(message), JSON.stringify(body));
        const s = (await srv.get('/api/status')).json;
        assert.equal(s.busy, false, JSON.stringify(body));
        assert.equal(s.phase, 'idle');
      }
      assert.equal((await srv.get('/api/map/kinds')).text, NO_MAP);
    });

    test('a map cancelled during its walk ends the task and leaves no map', async (t) => {
      assert.equal((await srv.post('/api/map', { root: SLOW })).text, STARTED);
      const running = (await srv.get('/api/status')).json;
      assert.equal((await srv.post('/api/cancel', '')).text, '{"ok":true}');
      const end = await waitTask(srv);
      assert.equal(running.busy, true);
      assert.equal(running.phase, 'map');
      assert.equal(end.phase, 'idle');
      if (end.files === SLOW_FILES) {
        // The walk ended before the cancel reached it (a loaded machine);
        // then the map it made is kept, as after any finished walk.
        assert.notEqual((await srv.get('/api/map/kinds')).text, NO_MAP);
        t.skip(`the walk of ${SLOW_FILES} files ended before the cancel reached it`);
        return;
      }
      assert.ok(end.files < SLOW_FILES, `a cancelled walk counted ${end.files} files`);
      assert.equal((await srv.get('/api/map/kinds')).text, NO_MAP);
    });

    test('a map runs as the one task: status and busy answers', async (t) => {
      // A scan asked for while a map walks is busy.
      assert.equal((await srv.post('/api/map', { root: SLOW })).text, STARTED);
      const scan = await srv.post('/api/scan', {});
      await waitTask(srv, 120_000);
      if (scan.text === STARTED) {
        // Only when the walk had ended before the scan reached the program.
        t.skip(`the walk of ${SLOW_FILES} files ended before the scan request reached it`);
      } else {
        assert.equal(scan.text, BUSY);
      }
      // The status keeps its fields and their order for every task.
      const st = await mapOf(BULK);
      assert.deepEqual(Object.keys(st), ['ok', 'busy', 'finished', 'phase', 'done', 'total', 'bytes', 'files', 'cur']);
      assert.equal(st.files, 8000);
      assert.equal(st.bytes, 8000);
    });

    test('the largest files: n clamped as the detail listing clamps its limit', async () => {
      await mapOf(BULK);
      const top = async (q) => (await srv.get(`/api/map/top${q}`)).json.files.length;
      for (const [q, n] of [['', 100], ['?n=0', 100], ['?n=5000', 100], ['?n=abc', 100], ['?n=-3', 100],
        ['?n=1', 1], ['?n=7', 7], ['?n=1000', 1000], ['?n=1001', 100]]) {
        assert.equal(await top(q), n, q);
      }
      const first = (await srv.get('/api/map/top?n=2')).text;
      const t = (d, f) => fileTimeOf(hostOf(build, W(BULK, d, f)));
      assert.equal(first, `{"ok":true,"files":[{"path":${JSON.stringify(W(BULK, 'd00', 'f0.bin'))},"bytes":1,"time":${t('d00', 'f0.bin')},"refuse":""},` +
        `{"path":${JSON.stringify(W(BULK, 'd00', 'f1.bin'))},"bytes":1,"time":${t('d00', 'f1.bin')},"refuse":""}]}`);
      const d = await dirOf(BULK);
      const kids = [];
      for (let i = 0; i < 80; i++) kids.push(child(`d${String(i).padStart(2, '0')}`, true, false, 100, 100, 0));
      assert.equal(d.text, dirDoc(BULK, 8000, 8000, 80, 0, kids));
    });

    test('the documents of a fixture tree, byte for byte', async () => {
      await mapOf(F);
      const hidden = denied ? 0 : 99;
      const rootKids = [child('vm', true, false, 5_000_000, 1, 0), child('games', true, false, 3_070_000, 2, 1),
        child('videos', true, false, 2_000_500, 2, 0)];
      if (!denied) rootKids.push(child('denied', true, false, 99, 1, 0));
      rootKids.push(child('', false, false, 30, 1, 0), child('deep', true, false, 7, 1, 14));
      if (denied) rootKids.push(child('denied', true, false, 0, 0, 0));
      rootKids.push(child('lnk', true, true, 0, 0, 0));
      const rootDoc = dirDoc(F, 10_070_537 + hidden, 7 + (denied ? 0 : 1), 20, denied ? 1 : 0, rootKids);
      assert.equal((await srv.get('/api/map/dir')).text, rootDoc);
      assert.equal((await dirOf(F)).text, rootDoc);
      assert.equal((await dirOf(W(F, 'games'))).text,
        dirDoc(W(F, 'games'), 3_070_000, 2, 1, 0, [child('Big Game', true, false, 3_070_000, 2, 0)]));
      assert.equal((await dirOf(W(F, 'videos'))).text,
        dirDoc(W(F, 'videos'), 2_000_500, 2, 0, 0, [child('', false, false, 2_000_500, 2, 0)]));
      assert.ok(deep.length > 260);
      assert.equal((await dirOf(deep)).text, dirDoc(deep, 7, 1, 0, 0, [child('', false, false, 7, 1, 0)]));
      if (denied) assert.equal((await dirOf(W(F, 'denied'))).text, dirDoc(W(F, 'denied'), 0, 0, 0, 1, []));
      assert.equal((await dirOf(W(F, 'lnk'))).text, fail('这是链接，空间分析不进入链接'));
      assert.equal((await dirOf(W(F, 'lnk', 'Big Game'))).text, fail('空间分析结果中没有这个文件夹'));
      assert.equal((await dirOf(W(F, 'nothere'))).text, fail('空间分析结果中没有这个文件夹'));
      assert.equal((await dirOf(OUTSIDE)).text, fail('空间分析结果中没有这个文件夹'));

      const entry = (k) => `{"path":${JSON.stringify(files[k][0])},"bytes":${files[k][1]},"time":${fileTimeOf(hostOf(build, files[k][0]))},"refuse":""}`;
      const order = ['vhdx', 'pak', 'mp4', 'exe', 'mkv', ...(denied ? [] : ['secret']), 'txt', 'iso'];
      assert.equal((await srv.get('/api/map/top')).text, `{"ok":true,"files":[${order.map(entry).join(',')}]}`);
      assert.equal((await srv.get('/api/map/top?n=3')).text, `{"ok":true,"files":[${order.slice(0, 3).map(entry).join(',')}]}`);
      assert.equal((await srv.get('/api/map/kinds')).text, kindsDoc([
        ['光盘与虚拟磁盘', 5_000_007, 2], ['其他', 3_000_000, 1], ['视频', 2_000_500, 2], ['程序与库', 70_000, 1],
        ['文档', 30 + hidden, denied ? 1 : 2], ['音频', 0, 0], ['图片', 0, 0], ['压缩包', 0, 0], ['安装包', 0, 0]]));
    });

    test('a folder inside a catalogue target links to its item', async () => {
      await mapOf(TEMPROOT);
      assert.equal((await srv.get('/api/map/dir')).text,
        dirDoc(TEMPROOT, 10, 1, 1, 0, [child('a', true, false, 10, 1, 0, 'user-temp')]));
    });

    test('the whole drive by default', async () => {
      await mapOf();
      const r = (await srv.get('/api/map/dir')).json;
      assert.equal(r.path, 'C:\\');
      const ours = r.children.find((c) => c.name === 'tamsel-bb-space');
      const hidden = denied ? 0 : 99;
      assert.deepEqual(ours, { name: 'tamsel-bb-space', dir: true, link: false, bytes: 10_070_537 + hidden,
        files: 7 + (denied ? 0 : 1), dirs: 20, refuse: '' });
      assert.ok(r.denied >= (denied ? 1 : 0));
    });

    test('recycle moves exactly the asked paths that pass, and the map drops them', async () => {
      await mapOf(F);
      const beforeList = listDrive(build);
      const trash = native ? null : path.join(`${build.prefix}.home`, 'data', 'Trash', 'files');
      const trashBefore = trash && fs.existsSync(trash) ? new Set(fs.readdirSync(trash)) : new Set();
      const asked = [files.vhdx[0], W(F, 'videos'), W(F, 'lnk'), F, `${env.SystemRoot}`, 'C:\\',
        W(OUTSIDE, 'x.txt'), W(F, 'nothere.txt'), W(F, 'videos')];
      const r = await srv.post('/api/map/recycle', { paths: asked });
      const res = (p, ok, message) => JSON.stringify({ path: p, ok, message });
      assert.equal(r.text, `{"ok":true,"results":[${[
        res(asked[0], true, '已移到回收站'), res(asked[1], true, '已移到回收站'),
        res(asked[2], false, WHY.link), res(asked[3], false, '不能移除分析的根文件夹'),
        res(asked[4], false, WHY.windows), res(asked[5], false, WHY.root),
        res(asked[6], false, '不在空间分析结果中'), res(asked[7], false, '不在空间分析结果中'),
        res(asked[8], false, '不在空间分析结果中')].join(',')}],"bytes":7000500}`);

      const afterList = listDrive(build);
      const diff = diffListings(beforeList, afterList);
      const goneKeys = [files.vhdx[0], W(F, 'videos'), files.mp4[0], files.mkv[0]].map((w) => relKey(build, w)).sort();
      assert.deepEqual(diff.gone, goneKeys);
      assert.deepEqual(diff.changed, []);
      if (native) {
        // Everything that left is in the stand-in's bin, as it was.
        const bin = diff.added.filter((k) => !k.startsWith('$Recycle.Bin/S-1-5-21-') || k.split('/').length > 3);
        const moved = diff.added.filter((k) => k.split('/').length >= 3).map((k) => afterList.get(k)).sort();
        const left = goneKeys.map((k) => beforeList.get(k)).sort();
        assert.deepEqual(moved, left);
        assert.ok(bin.length > 0 && diff.added.every((k) => k.startsWith('$Recycle.Bin')), diff.added.join(' '));
        assert.equal((await srv.get('/api/recycle')).text, '{"ok":true,"recycle":{"ok":true,"items":3,"bytes":7000500}}');
      } else {
        assert.deepEqual(diff.added, []);
        const now = fs.readdirSync(trash).filter((n) => !trashBefore.has(n)).sort();
        // Wine's Trash names each entry after the original with a suffix of its own.
        assert.equal(now.length, 2, now.join(' '));
        const [vhdx, videos] = now;
        assert.match(vhdx, /^disk\.vhdx(-[0-9a-f]+)?$/);
        assert.match(videos, /^videos(-[0-9a-f]+)?$/);
        assert.equal(fs.statSync(path.join(trash, vhdx)).size, 5_000_000);
        assert.deepEqual(fs.readdirSync(path.join(trash, videos)).sort(), ['clip.MKV', '假期.mp4']);
        for (const n of now) fs.rmSync(path.join(trash, n), { recursive: true, force: true });
      }
      planter.files.delete(files.vhdx[0]);
      planter.files.delete(files.mp4[0]);
      planter.files.delete(files.mkv[0]);

      const hidden = denied ? 0 : 99;
      const rootKids = [child('games', true, false, 3_070_000, 2, 1)];
      if (!denied) rootKids.push(child('denied', true, false, 99, 1, 0));
      rootKids.push(child('', false, false, 30, 1, 0), child('deep', true, false, 7, 1, 14));
      if (denied) rootKids.push(child('denied', true, false, 0, 0, 0));
      rootKids.push(child('lnk', true, true, 0, 0, 0), child('vm', true, false, 0, 0, 0));
      assert.equal((await srv.get('/api/map/dir')).text,
        dirDoc(F, 3_070_037 + hidden, 4 + (denied ? 0 : 1), 19, denied ? 1 : 0, rootKids));
      assert.equal((await srv.get('/api/map/top?n=1')).text,
        `{"ok":true,"files":[{"path":${JSON.stringify(files.pak[0])},"bytes":3000000,"time":${fileTimeOf(hostOf(build, files.pak[0]))},"refuse":""}]}`);
      assert.equal((await srv.get('/api/map/kinds')).json.kinds[0].kind, '其他');
    });

    test('the map refuses every folder it must keep, in its documents and its recycle answer, moving nothing of them', async () => {
      const users = env.USERPROFILE.slice(0, env.USERPROFILE.lastIndexOf('\\'));
      const other = W(users, 'tamsel-bb-other');
      const own = W(env.LOCALAPPDATA, 'tamsel');
      const desktop = W(env.USERPROFILE, 'Desktop');
      const PROT = 'C:\\tamsel-bb-space-prot';
      // Something in each, so that every folder is there on both builds, and
      // files large enough (sparse) to be among the largest of any drive.
      const bigWin = W(env.SystemRoot, 'tamsel-bb-space', 'big.bin');
      const bigDl = W(env.USERPROFILE, 'Downloads', 'tamsel-bb-space-dl', 'big.bin');
      planter.file(bigWin, 300_000_000);
      planter.file(bigDl, 250_000_000);
      for (const w of [W(env.ProgramFiles, 'tamsel-bb-space', 'p.bin'), W(env['ProgramFiles(x86)'], 'tamsel-bb-space', 'x.bin'),
        W(env.ProgramData, 'tamsel-bb-space', 'd.bin'), W(env.USERPROFILE, 'AppData', 'LocalLow', 'tamsel-bb-space', 'l.bin'),
        W(env.APPDATA, 'tamsel-bb-space', 'r.bin'), W(env.LOCALAPPDATA, 'tamsel-bb-space', 'c.bin'),
        W(other, 'AppData', 'Roaming', 'r.bin'), W(other, 'AppData', 'LocalLow', 'l.bin'),
        W(other, 'AppData', 'Local', 'Temp', 't.bin'), W(desktop, 'tamsel-bb-space.txt'),
        W(env.PUBLIC, 'tamsel-bb-space-pub', 'v.bin'), W(PROT, 'kept', 'k.bin'), W(PROT, 'free', 'f.bin')]) {
        planter.file(w, 3);
      }
      const settings = (await srv.get('/api/settings')).json.settings;
      assert.equal((await srv.post('/api/settings', { ...settings, protect: [W(PROT, 'kept')] })).json.ok, true);
      try {
        await mapOf();
        // Each folder of the list (and things in some), with its reason.
        const refused = [
          [env.SystemRoot, WHY.windows], [W(env.SystemRoot, 'tamsel-bb-space'), WHY.windows],
          [env.ProgramFiles, WHY.programs], [W(env.ProgramFiles, 'tamsel-bb-space'), WHY.programs],
          [env['ProgramFiles(x86)'], WHY.programs], [env.ProgramData, WHY.programData],
          [users, WHY.users], [env.USERPROFILE, WHY.home], [other, WHY.home],
          [W(env.USERPROFILE, 'AppData'), WHY.appData], [env.LOCALAPPDATA, WHY.appData],
          [env.APPDATA, WHY.appData], [W(env.USERPROFILE, 'AppData', 'LocalLow'), WHY.appData],
          [W(other, 'AppData'), WHY.appData], [W(other, 'AppData', 'Local'), WHY.appData],
          [W(other, 'AppData', 'Roaming'), WHY.appData], [W(other, 'AppData', 'LocalLow'), WHY.appData],
          [own, WHY.own], [desktop, WHY.desktop], [W(PROT, 'kept'), WHY.kept], [PROT, WHY.holdsKept],
          [W(F, 'lnk'), WHY.link],
        ];
        for (const [p, why] of refused) {
          const cut = p.lastIndexOf('\\');
          const parent = cut === 2 ? 'C:\\' : p.slice(0, cut);
          const d = (await dirOf(parent)).json;
          assert.equal(d.ok, true, `${parent}: ${JSON.stringify(d)}`);
          const c = d.children.find((x) => x.name.toLowerCase() === p.slice(cut + 1).toLowerCase());
          assert.ok(c, `${p} is in the map`);
          assert.deepEqual(Object.keys(c).at(-1), 'refuse');
          assert.equal(c.refuse, why, p);
        }
        // Neighbours that may go.
        for (const p of [W(env.PUBLIC, 'tamsel-bb-space-pub'), W(env.USERPROFILE, 'Downloads', 'tamsel-bb-space-dl'),
          W(other, 'AppData', 'Local', 'Temp'), W(PROT, 'free'), W(env.LOCALAPPDATA, 'tamsel-bb-space')]) {
          const cut = p.lastIndexOf('\\');
          const c = (await dirOf(p.slice(0, cut))).json.children.find((x) => x.name === p.slice(cut + 1));
          assert.equal(c?.refuse, '', p);
        }
        // The largest files say the same.
        const top = (await srv.get('/api/map/top?n=1000')).json.files;
        const fileOf = (w) => top.find((f) => f.path.toLowerCase() === w.toLowerCase());
        assert.equal(fileOf(bigWin)?.refuse, WHY.windows);
        assert.equal(fileOf(bigDl)?.refuse, '');

        // One request that mixes them with what may go: only these go.
        const allowed = [W(env.USERPROFILE, 'Downloads', 'tamsel-bb-space-dl'), W(env.PUBLIC, 'tamsel-bb-space-pub', 'v.bin'),
          W(other, 'AppData', 'Local', 'Temp', 't.bin')];
        // The protected folder and file with a NUL at the end, which the
        // system would stop at: refused by their text, never moved.
        const asked = [allowed[0], 'C:\\', ...refused.map(([p]) => p), W(own, 'token.txt'), W(desktop, 'tamsel-bb-space.txt'),
          W(PROT, 'kept', 'k.bin'), `${W(PROT, 'kept')}\u0000`, `${W(PROT, 'kept', 'k.bin')}\u0000`, bigWin, allowed[1], allowed[2]];
        const whys = [WHY.root, ...refused.map(([, why]) => why), WHY.own, WHY.desktop, WHY.kept, CONTROL, CONTROL, WHY.windows];
        const trash = native ? null : path.join(`${build.prefix}.home`, 'data', 'Trash', 'files');
        const trashBefore = trash && fs.existsSync(trash) ? new Set(fs.readdirSync(trash)) : new Set();
        const beforeList = listDrive(build);
        const r = await srv.post('/api/map/recycle', { paths: asked });
        assert.equal(r.json.ok, true, r.text);
        const got = r.json.results.map((x) => [x.path, x.ok, x.message]);
        assert.deepEqual(got, asked.map((p, i) => (i === 0 || i > whys.length
          ? [p, true, '已移到回收站'] : [p, false, whys[i - 1]])));
        const afterList = listDrive(build);
        const diff = diffListings(beforeList, afterList);
        const goneKeys = [allowed[0], bigDl, ...allowed.slice(1)].map((w) => relKey(build, w)).sort();
        assert.deepEqual(diff.gone, goneKeys);
        assert.deepEqual(diff.changed, []);
        if (native) {
          assert.ok(diff.added.every((k) => k.startsWith('$Recycle.Bin')), diff.added.join(' '));
        } else {
          assert.deepEqual(diff.added, []);
          const now = fs.readdirSync(trash).filter((n) => !trashBefore.has(n));
          assert.equal(now.length, 3, now.join(' '));
          for (const n of now) fs.rmSync(path.join(trash, n), { recursive: true, force: true });
        }
        for (const w of [bigDl, ...allowed.slice(1)]) planter.files.delete(w);
      } finally {
        assert.equal((await srv.post('/api/settings', settings)).json.ok, true);
      }
    });

    test('recycle: bad bodies move nothing', async () => {
      const beforeList = listDrive(build);
      const many = Array.from({ length: 1001 }, (_, i) => W(F, `x${i}`));
      for (const [body, message] of [
        ['nope', '请求不是有效的 JSON 对象'],
        [{}, 'paths 必须是路径数组'],
        [{ paths: 'C:\\x' }, 'paths 必须是路径数组'],
        [{ paths: [files.txt[0], 3] }, 'paths 必须是路径数组'],
        [{ paths: [] }, '没有选中任何文件或文件夹'],
        [{ paths: many }, 'paths 最多 1000 个路径'],
      ]) {
        const r = await srv.post('/api/map/recycle', body, { headers: { 'Content-Type': 'application/json' } });
        assert.equal(r.text, fail(message), JSON.stringify(body).slice(0, 80));
      }
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
    });

    test('reveal: only paths that exist, the request recorded', async () => {
      for (const [body, message] of [
        [{ path: W(F, 'nothere') }, '路径不存在'],
        [{ path: 'relative\\x' }, '路径不存在'],
        [{ path: `${files.pak[0]}\u0000` }, CONTROL],
        [{ path: W(F, '..', '..', '..', 'etc', 'passwd') }, '路径不能包含 . 或 ..'],
        [{ path: 'C:/../../etc/passwd' }, '路径不能包含 . 或 ..'],
        [{}, 'path 必须是路径'],
        ['[', '请求不是有效的 JSON 对象'],
      ]) {
        const r = await srv.post('/api/shell/reveal', body, { headers: { 'Content-Type': 'application/json' } });
        assert.equal(r.text, fail(message), JSON.stringify(body));
      }
      const r = await srv.post('/api/shell/reveal', { path: files.pak[0] });
      if (native) {
        assert.equal(r.text, '{"ok":true}');
        const log = fs.readFileSync(path.join(build.root, 'explorer.log'), 'utf8');
        assert.equal(log, `select ${files.pak[0]}\n`);
      } else {
        // Wine has no Explorer window to open here (no display): what it
        // answered is printed, the call itself is what a real PC runs.
        console.log(`# wine: reveal answered ${r.text}`);
        assert.ok(r.text === '{"ok":true}' || r.text === fail('无法打开资源管理器'), r.text);
      }
    });
  });
}
