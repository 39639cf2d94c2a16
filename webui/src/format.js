// How the page writes sizes, counts and times.

const FILETIME_UNIX_MS = 11644473600000; // 1601-01-01 to 1970-01-01 in ms

// Bytes in binary units with one decimal ("1.5 MB"); below 1 KB in bytes.
export function fmtBytes(n) {
  n = Number(n) || 0;
  if (n < 1024) return n + " B";
  const units = ["KB", "MB", "GB", "TB"];
  let v = n / 1024, i = 0;
  while (v >= 1023.95 && i < units.length - 1) { v /= 1024; i++; }
  return v.toFixed(1) + " " + units[i];
}
export const fmtCount = (n) => (Number(n) || 0).toLocaleString("zh-CN");
const pad = (n) => String(n).padStart(2, "0");

export function fmtDate(d) {
  return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) +
    " " + pad(d.getHours()) + ":" + pad(d.getMinutes());
}
// Raw Windows FILETIME (100-ns units since 1601-01-01 UTC) to a local time.
export function fileTimeText(t) {
  const n = Number(t);
  if (!n) return "—";
  const d = new Date(n / 10000 - FILETIME_UNIX_MS);
  return isNaN(d.getTime()) ? "—" : fmtDate(d);
}
// The time of day for today, the full date and time otherwise.
export function clockText(ms) {
  const d = new Date(ms), now = new Date();
  const hm = pad(d.getHours()) + ":" + pad(d.getMinutes());
  return d.toDateString() === now.toDateString() ? hm : fmtDate(d);
}
export function ageText(ms) {
  const s = Math.max(0, Math.round((Date.now() - ms) / 1000));
  let a;
  if (s < 60) a = "刚刚";
  else if (s < 3600) a = Math.floor(s / 60) + " 分钟前";
  else if (s < 86400) a = Math.floor(s / 3600) + " 小时前";
  else a = Math.floor(s / 86400) + " 天前";
  return a + "（" + clockText(ms) + "）";
}
