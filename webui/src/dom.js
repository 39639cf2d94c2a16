// Building and finding the page's elements, and the short notice at the
// bottom of the window. Every view builds its markup with h().

export const $ = (id) => document.getElementById(id);

// h("li", {class, text, onclick, "data-id": ...}, child, [children], ...):
// one element. A property that is null, undefined or false is left out; true
// sets an empty attribute; "on..." adds a listener. Children that are null
// or false are left out, arrays are flattened.
export function h(tag, props, ...kids) {
  const el = document.createElement(tag);
  if (props) {
    for (const k of Object.keys(props)) {
      const v = props[k];
      if (v == null || v === false) continue;
      if (k === "class") el.className = v;
      else if (k === "text") el.textContent = v;
      else if (k.startsWith("on")) el.addEventListener(k.slice(2), v);
      else el.setAttribute(k, v === true ? "" : v);
    }
  }
  for (const c of kids.flat()) if (c != null && c !== false) el.append(c);
  return el;
}

let toastTimer = 0;
// Shows msg for five seconds; a newer message replaces it.
export function toast(msg) {
  const t = $("toast");
  t.textContent = msg;
  t.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { t.hidden = true; }, 5000);
}
