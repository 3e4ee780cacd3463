// Small helpers for building the page without HTML strings (every text goes in as text).

export const $ = (id) => document.getElementById(id);

export function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else if (k.startsWith('data-') || k.startsWith('aria-')) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) if (c) e.append(c);
  return e;
}

export function notice(text) {
  $('notice').textContent = text || '';
  $('notice').hidden = !text;
}

// Values older than this when read are shown as possibly out of date.
export const STALE_SECONDS = 60;

// Marks a row with the age of the values it shows (the server's "age", in seconds).
export function markAge(row, age) {
  const stale = age === null || age === undefined ? false : age > STALE_SECONDS;
  row.dataset.stale = String(stale);
  row.title = stale ? `Last read from the controller ${Math.round(age)} s before it was shown` : '';
}
