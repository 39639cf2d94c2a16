// Measurement, not a test: how the native build answers its own page while
// N idle connections (opened, nothing sent) are held against it. Each idle
// connection occupies one connection thread until the server's receive
// time-out gives up on it; beyond the connection cap the server closes new
// connections at once. For each N this prints whether /api/status was
// answered right away, how long it took, and, if it was not, how long until
// a retry was answered.
//
//   node bench/idle_connections.mjs            # N = 100 300 500 600
//   node bench/idle_connections.mjs 50 1000    # other values of N
//
// Uses the black-box harness (native build, fresh temporary drive; another
// binary with TAMSEL_NATIVE=path, e.g. the native-release build). Only
// loopback connections are made. Reads /proc for the server's thread count.

import fs from 'node:fs';
import net from 'node:net';
import { builds, rawRequest, parseResponse } from '../tests/blackbox/harness.mjs';

process.env.TAMSEL_BUILDS = 'native';
const build = builds().find((b) => b.name === 'native');
if (!build) {
  console.error('no native build (build/native/tamsel or $TAMSEL_NATIVE)');
  process.exit(1);
}

const counts = process.argv.slice(2).map(Number).filter((n) => n > 0);
const NS = counts.length ? counts : [100, 300, 500, 600];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Threads of the server process now (native build: one per connection
// being served, plus the accepting thread).
function serverThreads(pid) {
  try {
    return Number(/Threads:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  } catch {
    return NaN;
  }
}

// Opens n connections in small batches, each batch once the server has
// taken the previous one: the listen backlog is 64, and connections that
// overflow it can be lost by the kernel while the client believes them
// established, which would measure the kernel instead of the program.
// Each socket records whether (and when) the server closed it.
async function openIdle(port, n, pid) {
  const socks = [];
  const BATCH = 25;
  for (let opened = 0; opened < n;) {
    const k = Math.min(BATCH, n - opened);
    await Promise.all(Array.from({ length: k }, () => new Promise((resolve) => {
      const s = net.connect({ host: '127.0.0.1', port });
      s.closedAt = null;
      s.on('connect', resolve);
      s.on('error', () => resolve());
      s.on('close', () => { s.closedAt = Date.now(); });
      socks.push(s);
    })));
    opened += k;
    const want = Math.min(opened, 512) + 1;
    const t0 = Date.now();
    while (serverThreads(pid) < want && Date.now() - t0 < 300) await sleep(5);
  }
  return socks;
}

// One status request with the server's access token.
async function statusOnce(srv, timeout) {
  const req = `GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:${srv.port}\r\n${srv.tokenLine()}\r\n` +
    'Connection: close\r\n\r\n';
  const t0 = process.hrtime.bigint();
  try {
    const res = parseResponse(await rawRequest(srv.port, req, { timeout }));
    const ms = Number(process.hrtime.bigint() - t0) / 1e6;
    return { answered: res?.status === 200, ms };
  } catch {
    return { answered: false, ms: Number(process.hrtime.bigint() - t0) / 1e6 };
  }
}

const rows = [];
for (const n of NS) {
  const srv = await build.start([]);
  await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
  // A warm-up request, so the first measured one pays no first-use costs.
  await statusOnce(srv, 5000);

  const tOpen = Date.now();
  const socks = await openIdle(srv.port, n, srv.proc.pid);
  const openMs = Date.now() - tOpen;
  await sleep(300); // let the server accept (and, beyond the cap, close) them
  const held = serverThreads(srv.proc.pid) - 1;
  const first = await statusOnce(srv, 8000);
  const closedEarly = socks.filter((s) => s.closedAt !== null).length;

  // Not answered: retry until it is, which happens once idle connections
  // time out and free their threads.
  let recoveredAfter = null;
  if (!first.answered) {
    const t0 = Date.now();
    while (Date.now() - t0 < 15_000) {
      const r = await statusOnce(srv, 2000);
      if (r.answered) { recoveredAfter = Date.now() - tOpen; break; }
      await sleep(100);
    }
  }
  rows.push({ n, openMs, held, closedEarly, ...first, recoveredAfter });
  for (const s of socks) s.destroy();
  await srv.stop();
  await sleep(200);
}

const pad = (s, w) => String(s).padEnd(w);
console.log(`native build: ${build.binary}`);
console.log(`${pad('N idle', 8)}${pad('opened in', 11)}${pad('threads held', 14)}${pad('closed by server', 18)}${pad('/api/status', 13)}${pad('latency', 11)}answered after`);
for (const r of rows) {
  console.log(pad(r.n, 8) + pad(`${r.openMs} ms`, 11) + pad(r.held, 14) + pad(r.closedEarly, 18) +
    pad(r.answered ? 'answered' : 'NOT answered', 13) +
    pad(`${r.ms.toFixed(1)} ms`, 11) +
    (r.answered ? '-' : r.recoveredAfter === null ? 'never (15 s)' : `${r.recoveredAfter} ms after opening`));
}
