// The treemap's layout (webui/src/treemap.js) on its own: every rectangle
// inside the box, the positive sizes tiling it without overlap, each area
// its share, zero and tiny sizes, one size, a huge count, bounded aspect
// ratios, the same output for the same input. Random inputs come from a
// seeded generator: a failure names its seed and case, and runs again the
// same.
//
//   node --test tests/webui/

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { squarify } from '../../webui/src/treemap.js';

// A small seeded generator (mulberry32): the same cases on every run.
function random(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// Sizes as a folder's children have them: byte counts of every order of
// magnitude, of similar size, or a few big ones and a long tail.
function randomSizes(rnd, n, kind) {
  return Array.from({ length: n }, () => {
    if (kind === 0) return Math.floor(Math.exp(rnd() * 40));
    if (kind === 1) return 1 + Math.floor(rnd() * 1000);
    return 1 + Math.floor(rnd() * rnd() * rnd() * 1e9);
  });
}

// A box shaped like the page's map at the window sizes people use (wider
// than high, or high and narrow), somewhere on the page.
function randomBox(rnd) {
  const w = 200 + rnd() * 1700;
  const h = rnd() < 0.8 ? w * (0.45 + rnd() * 0.55) : w * (1 + rnd() * 1.2);
  return { x: rnd() * 400, y: rnd() * 400, w, h };
}

const aspect = (r) => Math.max(r.w / r.h, r.h / r.w);
const positive = (s) => Number.isFinite(s) && s > 0;

// Everything the layout promises for any input: one finite rectangle per
// size; an empty one at the box's corner for a size that is not positive;
// every rectangle inside the box; each positive size's area its share of
// the box; no two overlapping (checked pair by pair up to `pairs` cells).
function checkTiling(sizes, box, rects, what, pairs = 600) {
  assert.equal(rects.length, sizes.length, `${what}: one rectangle per size`);
  // Shares of the largest size, so that sizes near the largest number
  // still add up.
  const max = Math.max(0, ...sizes.filter(positive));
  const total = sizes.filter(positive).reduce((a, b) => a + b / max, 0);
  const area = box.w * box.h;
  const eps = 1e-9 * Math.max(box.w, box.h);
  rects.forEach((r, i) => {
    // The message is built only for a failure: this runs for a million cells.
    const at = () => `${what}, size ${i} (${sizes[i]}): ${JSON.stringify(r)}`;
    const check = (ok, why) => { if (!ok) assert.fail(`${at()}: ${why}`); };
    check(['x', 'y', 'w', 'h'].every((k) => Number.isFinite(r[k])), 'a number each');
    check(r.w >= 0 && r.h >= 0, 'no negative extent');
    check(r.x >= box.x - eps && r.y >= box.y - eps && r.x + r.w <= box.x + box.w + eps &&
      r.y + r.h <= box.y + box.h + eps, `inside ${JSON.stringify(box)}`);
    if (!positive(sizes[i])) {
      check(r.x === box.x && r.y === box.y && r.w === 0 && r.h === 0, 'empty, at the corner');
      return;
    }
    const want = sizes[i] / max / total * area;
    check(Math.abs(r.w * r.h - want) <= 1e-9 * area, `area ${r.w * r.h}, its share is ${want}`);
  });
  const sum = rects.reduce((a, r) => a + r.w * r.h, 0);
  if (total > 0) assert.ok(Math.abs(sum - area) <= 1e-9 * area, `${what}: the cells cover ${sum} of ${area}`);
  if (rects.length > pairs) return;
  for (let i = 0; i < rects.length; i++) {
    for (let j = i + 1; j < rects.length; j++) {
      const a = rects[i], b = rects[j];
      const ox = Math.min(a.x + a.w, b.x + b.w) - Math.max(a.x, b.x);
      const oy = Math.min(a.y + a.h, b.y + b.h) - Math.max(a.y, b.y);
      if (ox > eps && oy > eps) assert.fail(`${what}: cells ${i} and ${j} overlap: ${JSON.stringify([a, b])}`);
    }
  }
}

// Points spread over the box each lie in exactly one cell: no gap and no
// overlap, for counts too large to compare cell by cell. A point on an edge
// between two cells would be in both: the points avoid the edges.
function checkCoverage(rects, box, rnd, points) {
  const nonEmpty = rects.filter((r) => r.w > 0 && r.h > 0);
  for (let p = 0; p < points; p++) {
    const px = box.x + rnd() * box.w, py = box.y + rnd() * box.h;
    let inside = 0, onEdge = false;
    for (const r of nonEmpty) {
      if (px >= r.x && px <= r.x + r.w && py >= r.y && py <= r.y + r.h) {
        inside++;
        if (px === r.x || px === r.x + r.w || py === r.y || py === r.y + r.h) onEdge = true;
      }
    }
    if (!onEdge && inside !== 1) assert.fail(`point (${px}, ${py}) lies in ${inside} cells`);
  }
}

test('every rectangle lies in the box and the sizes tile it by their shares', () => {
  const cases = [
    ['two halves', [1, 1], { x: 0, y: 0, w: 100, h: 50 }],
    ['a folder with its files and its rest', [900, 400, 250, 120, 60, 7, 3], { x: 0, y: 0, w: 1036, h: 460 }],
    ['unsorted, with repeats', [3, 9, 1, 9, 4, 4, 27, 1], { x: 12.5, y: 40.25, w: 640, h: 480 }],
    ['a tall box', [50, 30, 20, 10, 5, 1], { x: 0, y: 0, w: 120, h: 900 }],
    ['a thin strip', [5, 4, 3, 2, 1], { x: 3, y: 3, w: 2000, h: 4 }],
    ['the largest folder holding almost all', [336511177, 18906896, 1241557, 671643, 103133, 32513, 6001, 2571, 261, 46, 29],
      { x: 0, y: 0, w: 556.7, h: 349.6 }],
    ['byte counts near 2^64', [2 ** 63, 2 ** 62, 3 * 2 ** 60, 1], { x: 0, y: 0, w: 800, h: 600 }],
    ['sizes that would overflow a sum', [1.5e308, 1.5e308, 1e308], { x: 0, y: 0, w: 300, h: 200 }],
    ['301 children, as a folder document lists them', Array.from({ length: 301 }, (_, i) => (i + 1) * 100),
      { x: 0, y: 0, w: 1200, h: 520 }],
  ];
  for (const [what, sizes, box] of cases) checkTiling(sizes, box, squarify(sizes, box), what);

  for (let seed = 1; seed <= 300; seed++) {
    const rnd = random(seed);
    const sizes = randomSizes(rnd, 1 + Math.floor(rnd() * 320), seed % 3);
    const box = randomBox(rnd);
    checkTiling(sizes, box, squarify(sizes, box), `seed ${seed}`);
  }
});

test('zero, negative and non-numeric sizes get empty rectangles; tiny ones keep their share', () => {
  // A folder's children with nothing in them (an empty folder, a file of
  // zero bytes) and whatever a damaged document might carry.
  const box = { x: 10, y: 20, w: 400, h: 300 };
  const table = [
    ['zeros after a size', [5, 0, 0]],
    ['zeros between sizes', [0, 7, 0, 3, 0]],
    ['only zeros', [0, 0, 0]],
    ['negative, NaN, infinite, missing, text', [4, -3, NaN, Infinity, -Infinity, undefined, null, '12', 2]],
  ];
  for (const [what, sizes] of table) {
    const rects = squarify(sizes, box);
    checkTiling(sizes, box, rects, what);
    sizes.forEach((s, i) => {
      if (!positive(s)) assert.deepEqual(rects[i], { x: 10, y: 20, w: 0, h: 0 }, `${what}: size ${i}`);
    });
  }
  // Nothing at all to lay out.
  assert.deepEqual(squarify([], box), []);

  // Sizes many orders of magnitude below the largest: each still gets its
  // share, and the last cell still ends on the box's edge, however far
  // below a pixel it is.
  for (const sizes of [[1e15, 1], [1e15, 1, 1, 1], [2 ** 60, 3, 2, 1], [1, 1e-300], [1e300, 1e-300, 5e-324]]) {
    const b = { x: 0, y: 0, w: 100, h: 50 };
    const rects = squarify(sizes, b);
    checkTiling(sizes, b, rects, `tiny: ${sizes}`);
    const right = Math.max(...rects.map((r) => r.x + r.w)), bottom = Math.max(...rects.map((r) => r.y + r.h));
    assert.equal(right, 100, `tiny: ${sizes}: the cells reach the right edge`);
    assert.equal(bottom, 50, `tiny: ${sizes}: the cells reach the bottom edge`);
    for (const r of rects.slice(1).filter((q) => q.w > 0 && q.h > 0)) {
      assert.ok(r.x + r.w === 100 || r.y + r.h === 50, `tiny: ${sizes}: ${JSON.stringify(r)} is left short of the edge`);
    }
  }
});

test('one size fills the box exactly; an empty box gives only empty rectangles', () => {
  for (const box of [{ x: 0, y: 0, w: 1280, h: 600 }, { x: 7.5, y: 3.25, w: 33.3, h: 90.1 }]) {
    for (const s of [1, 123456789, 1e-9]) {
      assert.deepEqual(squarify([s], box), [box], `one size ${s} in ${JSON.stringify(box)}`);
    }
    assert.deepEqual(squarify([0, 5, 0], box), [{ x: box.x, y: box.y, w: 0, h: 0 }, box, { x: box.x, y: box.y, w: 0, h: 0 }]);
  }
  // The map's box before it has its size, or squeezed to nothing.
  for (const box of [{ x: 0, y: 0, w: 0, h: 600 }, { x: 0, y: 0, w: 800, h: 0 }, { x: 5, y: 5, w: -10, h: 40 },
    { x: 0, y: 0, w: NaN, h: 40 }, { x: 0, y: 0, w: Infinity, h: 40 }]) {
    assert.deepEqual(squarify([3, 2, 1], box), [0, 1, 2].map(() => ({ x: box.x, y: box.y, w: 0, h: 0 })), JSON.stringify(box));
  }
});

test('a huge count: 100,000 sizes stay in the box, each with its share, without gap or overlap', () => {
  const rnd = random(2024);
  for (const [what, sizes] of [
    ['descending', Array.from({ length: 100_000 }, (_, i) => 100_000 - i)],
    ['random', randomSizes(rnd, 100_000, 2)],
    ['equal', new Array(100_000).fill(4096)],
  ]) {
    const box = { x: 0, y: 0, w: 1280, h: 600 };
    const rects = squarify(sizes, box);
    checkTiling(sizes, box, rects, what);
    checkCoverage(rects, box, rnd, 300);
  }
});

test('aspect ratios stay bounded: near-square cells, never the slices of a naive layout', () => {
  // Equal sizes in boxes shaped like the page's map: no cell is more than
  // three times as long as it is wide, whatever the count.
  for (let n = 1; n <= 400; n++) {
    for (const [w, h] of [[1000, 1000], [1280, 600], [1366, 768], [1920, 1080], [600, 1280]]) {
      const rects = squarify(new Array(n).fill(7), { x: 0, y: 0, w, h });
      for (const r of rects) if (!(aspect(r) <= 3 + 1e-9)) assert.fail(`${n} equal sizes in ${w}x${h}: ${JSON.stringify(r)}`);
    }
  }
  // Random folders: the largest cell is close to a square (at most 2.5:1),
  // and the aspect ratio over the box, weighted by area, is at most 3.
  // Slices side by side would give the largest of ten equal sizes 10:1.
  for (let seed = 1; seed <= 2000; seed++) {
    const rnd = random(seed);
    const sizes = randomSizes(rnd, 1 + Math.floor(rnd() * 300), seed % 3);
    const box = randomBox(rnd);
    if (aspect(box) > 2.2) continue;  // a box itself this long: its cells may be too
    const rects = squarify(sizes, box);
    const largest = sizes.indexOf(Math.max(...sizes));
    assert.ok(aspect(rects[largest]) <= 2.5, `seed ${seed}: the largest cell ${JSON.stringify(rects[largest])}`);
    const weighted = rects.reduce((a, r) => a + (r.w * r.h ? r.w * r.h * aspect(r) : 0), 0) / (box.w * box.h);
    assert.ok(weighted <= 3, `seed ${seed}: area-weighted aspect ratio ${weighted}`);
  }
});

test('the same input gives the same output, in the order of the sizes', () => {
  const rnd = random(77);
  const sizes = randomSizes(rnd, 250, 0);
  const box = { x: 4, y: 8, w: 1100, h: 520 };
  const once = squarify(sizes, box);
  assert.deepEqual(squarify(sizes, box), once);
  assert.deepEqual(squarify([...sizes], { ...box }), once);
  // The input is left as it was.
  const copy = [...sizes];
  squarify(sizes, box);
  assert.deepEqual(sizes, copy);
  // Sizes in another order: each size keeps its rectangle (the layout
  // orders them itself, the largest first).
  const distinct = [...new Set(sizes)];
  const reversed = [...distinct].reverse();
  const a = squarify(distinct, box), b = squarify(reversed, box);
  distinct.forEach((s, i) => assert.deepEqual(b[distinct.length - 1 - i], a[i], `size ${s}`));
  // Equal sizes keep their order: the earlier comes first (left, then top).
  const eq = squarify([5, 5, 5, 5], { x: 0, y: 0, w: 200, h: 100 });
  for (let i = 1; i < eq.length; i++) {
    assert.ok(eq[i - 1].x < eq[i].x || (eq[i - 1].x === eq[i].x && eq[i - 1].y < eq[i].y), JSON.stringify(eq));
  }
});
