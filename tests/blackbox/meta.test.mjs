// GET /api/meta of the real program, for every build found: the program's
// facts the page uses (name, version, feedback length, detail-listing
// limits, the items that need administrator rights), byte for byte; the
// token is required like on every /api/ path but /api/env; and the feedback
// limit it states is the one the program enforces.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { builds, VERSION } from './harness.mjs';
import { expandedCatalogue } from './fixtures.mjs';
import { CATALOGUE } from './catalogue.mjs';

const CLOSE_RE = /\[ok\] 关闭本窗口即退出程序\n/;
const REFUSED = '{"ok":false,"message":"拒绝访问：缺少或错误的访问令牌，请从 Tamsel 打开的页面操作"}';

// In catalogue order.
const ADMIN_ITEMS = [
  'win-serviceprofiles-log', 'prefetch', 'font-cache', 'chrome-update-cache', 'steam-shader-cache',
  'upd-download', 'upd-datastore', 'do-cache', 'sys-dmp', 'sys-logs', 'win-panther', 'patch-cache',
  'asm-native', 'win-temp', 'hibernate', 'winsxs', 'wallpapers', 'component-cleanup', 'reserved-storage',
  'compact-os', 'hiber-reduced', 'restore-points', 'old-drivers',
];

// The rule the page used to apply itself, over the catalogue as this build
// expands it: the list the program now states must be the same.
function adminByOldRule(build) {
  const ids = [];
  for (const c of expandedCatalogue(build))
    for (const it of c.items)
      if (it.mode === 'hibernate' || it.mode === 'systool' || /需管理员/.test(it.desc) ||
          it.targets.some((p) => /^[a-z]:\\(windows|program files( \(x86\))?)(\\|$)/i.test(p)))
        ids.push(it.id);
  return ids;
}

for (const build of builds()) {
  describe(`/api/meta (${build.name})`, () => {
    let srv;
    before(async () => {
      srv = await build.start([]);
      await srv.waitFor(CLOSE_RE, 15_000);
    });
    after(async () => { await srv?.stop(); });

    test('the document, byte for byte', async () => {
      const version = VERSION;
      const expected = `{"ok":true,"name":"Tamsel","version":"${version}","feedbackMaxChars":1800,` +
        `"detailFiles":{"default":300,"max":5000},"adminItems":${JSON.stringify(ADMIN_ITEMS)},"spaceKinds":`;
      const r = await srv.get('/api/meta');
      assert.equal(r.status, 200);
      assert.equal(r.headers['content-type'], 'application/json; charset=utf-8');
      assert.equal(r.text.slice(0, expected.length), expected);
      // The space map's kinds, in the program's order, "其他" last taking the rest.
      const kinds = r.json.spaceKinds;
      // The items that hold the user's own files, in catalogue order.
      const userFileItems = CATALOGUE.flatMap((c) => c.items).filter((i) => i.userFiles).map((i) => i.id);
      assert.deepEqual(userFileItems, ['sample-media', 'wallpapers', 'downloads-installer', 'downloads-video',
        'wechat-received-files', 'qqnt-received-files']);
      assert.equal(r.text, `${expected}${JSON.stringify(kinds)},"userFileItems":${JSON.stringify(userFileItems)},` +
        '"searchItems":["chromium-app-caches"]}');
      assert.deepEqual(kinds.map((k) => k.kind),
        ['视频', '音频', '图片', '压缩包', '安装包', '光盘与虚拟磁盘', '文档', '程序与库', '其他']);
      for (const k of kinds) assert.deepEqual(Object.keys(k), ['kind', 'extensions']);
      const of = (name) => kinds.find((k) => k.kind === name).extensions;
      for (const e of ['iso', 'img', 'vhd', 'vhdx', 'vmdk']) assert.ok(of('光盘与虚拟磁盘').includes(e), e);
      for (const e of ['exe', 'dll', 'sys']) assert.ok(of('程序与库').includes(e), e);
      assert.deepEqual(of('其他'), []);
      const all = kinds.flatMap((k) => k.extensions);
      assert.equal(new Set(all).size, all.length, 'an extension belongs to one kind');
      for (const e of all) assert.match(e, /^[a-z0-9]{1,12}$/);
      assert.deepEqual(adminByOldRule(build), ADMIN_ITEMS);
      // The same name and version as /api/env.
      const env = (await srv.get('/api/env')).json;
      assert.equal(env.name, 'Tamsel');
      assert.equal(env.version, version);
    });

    test('without the token it is refused, like every /api/ path but /api/env', async () => {
      for (const token of [null, '0'.repeat(32)]) {
        const r = await srv.get('/api/meta', { token });
        assert.equal(r.status, 403);
        assert.equal(r.text, REFUSED);
      }
    });

    test('the feedback limit stated is the one the program applies', async () => {
      const meta = (await srv.get('/api/meta')).json;
      // The feedback form refuses one code point more than the limit, before
      // anything goes out, and says the limit.
      const long = '字'.repeat(meta.feedbackMaxChars + 1);
      const fb = await srv.post('/api/feedback', { text: long, contact: '', kind: 'bug' });
      assert.equal(fb.text, `{"ok":false,"message":"内容太长了（上限 ${meta.feedbackMaxChars} 字）"}`);
    });
  });
}
