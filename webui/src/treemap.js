// The treemap's layout, apart from the page: sizes in, rectangles out, no
// document and no state, so that it can be tested on its own
// (tests/webui/treemap.test.mjs).
//
// Squarified layout (Bruls, Huizing and van Wijk): the sizes, largest
// first, fill rows along the shorter side of what is left of the box; a row
// takes the next size while that does not make its worst aspect ratio
// worse.
//
// What a caller may rely on:
// - one rectangle {x, y, w, h} per size, in the order of `sizes`;
// - every rectangle lies inside the box, and those of positive sizes tile
//   it: no overlap, no gap, each area its share of the box (up to floating
//   point rounding);
// - a size that is zero, negative or not a finite number gets an empty
//   rectangle (w = h = 0) at the box's top left corner; so does one too
//   small beside the largest to have a share in floating point (below
//   1e-308 of it), and so do all sizes when the box is empty;
// - equal sizes keep their order of `sizes` (the largest first, then the
//   earlier), and the same input gives the same output.
//
// box: {x, y, w, h}, in any unit (the page passes CSS pixels).
export function squarify(sizes, box) {
  const X = Number(box.x) || 0, Y = Number(box.y) || 0;
  const W = Number(box.w), H = Number(box.h);
  const out = sizes.map(() => ({ x: X, y: Y, w: 0, h: 0 }));
  if (!(W > 0 && H > 0 && Number.isFinite(W) && Number.isFinite(H))) return out;

  const order = [];
  sizes.forEach((s, i) => { if (Number.isFinite(s) && s > 0) order.push(i); });
  order.sort((a, b) => sizes[b] - sizes[a] || a - b);
  if (!order.length) return out;
  // Sizes as shares of the largest, so that no sum overflows. A size too
  // small beside the largest to have a share at all is left out as well.
  const v = order.map((i) => sizes[i] / sizes[order[0]]);
  let n = v.length;
  while (!(v[n - 1] > 0)) n--;
  // What the sizes from k on add up to, summed from the smallest, so that
  // a few small sizes after a huge one are not lost to rounding.
  const rest = new Array(n + 1).fill(0);
  for (let k = n - 1; k >= 0; k--) rest[k] = rest[k + 1] + v[k];

  const right = X + W, bottom = Y + H;
  let x = X, y = Y;
  for (let i = 0; i < n;) {
    const w = right - x, h = bottom - y;
    if (!(w > 0 && h > 0)) {
      // Rounding left no room for sizes this small: they get none.
      for (; i < n; i++) out[order[i]] = { x, y, w: Math.max(0, w), h: Math.max(0, h) };
      break;
    }
    // Area per unit of size in what is left of the box: the same for
    // every row but for rounding, which it keeps from adding up.
    const scale = w * h / rest[i];
    const side = Math.min(w, h), big = v[i] * scale;
    let j = i, sum = 0, best = Infinity;
    while (j < n) {
      const a = v[j] * scale, s = sum + a;
      const worst = Math.max(side * side * big / (s * s), s * s / (side * side * a));
      if (worst > best) break;
      best = worst;
      sum = s;
      j++;
    }
    // The last row takes all that is left; the others their share of it.
    const along = w >= h;  // the row is a column at the left, else a line at the top
    const thick = j === n ? (along ? w : h) : Math.min(along ? w : h, sum / side);
    let rowSize = 0;
    for (let k = i; k < j; k++) rowSize += v[k];
    const start = along ? y : x, end = along ? bottom : right;
    let done = 0, at = start;
    for (let k = i; k < j; k++) {
      done += v[k];
      // Each row spans the whole side: its last cell ends on the edge.
      const to = k === j - 1 ? end : start + side * (done / rowSize);
      out[order[k]] = along ? { x, y: at, w: thick, h: to - at } : { x: at, y, w: to - at, h: thick };
      at = to;
    }
    if (along) x = j === n ? right : x + thick;
    else y = j === n ? bottom : y + thick;
    i = j;
  }
  return out;
}
