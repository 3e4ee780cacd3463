// An accessibility audit of the page as the browser shows it, run by the browser test through
// execute_script; it returns a list of findings, each one line naming the element. It checks:
// every control has an accessible name, ids are unique, images have alt, no positive tabindex,
// text contrast (4.5:1, 3:1 for large text) from the computed colours, and, when the viewport
// is narrower than the page, which elements make it scroll sideways.
const findings = [];

function describe(el) {
  let text = el.tagName.toLowerCase();
  if (el.id) text += `#${el.id}`;
  else if (el.className && typeof el.className === 'string') {
    text += '.' + el.className.trim().split(/\s+/).join('.');
  }
  const own = (el.textContent || '').trim().replace(/\s+/g, ' ').slice(0, 30);
  return own ? `${text} "${own}"` : text;
}

function rendered(el) {
  if (!el.getClientRects().length) return false;
  const style = getComputedStyle(el);
  return style.visibility !== 'hidden' && style.display !== 'none';
}

// ---- Names ----
function textOf(ids) {
  return ids.split(/\s+/).map((id) => document.getElementById(id))
    .map((e) => (e ? e.textContent.trim() : '')).join(' ').trim();
}

function accessibleName(el) {
  if (el.hasAttribute('aria-labelledby')) {
    const t = textOf(el.getAttribute('aria-labelledby'));
    if (t) return t;
  }
  const aria = (el.getAttribute('aria-label') || '').trim();
  if (aria) return aria;
  if (el.labels) {
    const t = [...el.labels].map((l) => l.textContent.trim()).join(' ').trim();
    if (t) return t;
  }
  if (el.tagName === 'BUTTON') return el.textContent.trim();
  if (el.tagName === 'INPUT' && ['submit', 'button', 'reset'].includes(el.type)) {
    return (el.value || '').trim();
  }
  return '';
}

for (const el of document.querySelectorAll('input, select, textarea, button')) {
  if (el.type === 'hidden') continue;
  if (!accessibleName(el)) findings.push(`no accessible name: ${describe(el)}`);
}

// ---- Ids, images, tab order ----
const seen = new Map();
for (const el of document.querySelectorAll('[id]')) {
  seen.set(el.id, (seen.get(el.id) || 0) + 1);
}
for (const [id, n] of seen) if (n > 1) findings.push(`id used ${n} times: #${id}`);
for (const img of document.querySelectorAll('img:not([alt])')) {
  findings.push(`image without alt: ${describe(img)}`);
}
for (const el of document.querySelectorAll('[role="img"]')) {
  if (!accessibleName(el)) findings.push(`image without a name: ${describe(el)}`);
}
for (const el of document.querySelectorAll('[tabindex]')) {
  if (Number(el.getAttribute('tabindex')) > 0) {
    findings.push(`positive tabindex ${el.getAttribute('tabindex')}: ${describe(el)}`);
  }
}

// ---- Contrast ----
function parseColour(text) {
  const m = text.match(/rgba?\(([^)]+)\)/);
  if (!m) return null;
  const parts = m[1].split(/[\s,/]+/).filter(Boolean).map(parseFloat);
  return { r: parts[0], g: parts[1], b: parts[2], a: parts.length > 3 ? parts[3] : 1 };
}

function over(top, bottom) {
  const a = top.a + bottom.a * (1 - top.a);
  if (a === 0) return { r: 0, g: 0, b: 0, a: 0 };
  const mix = (c) => (top[c] * top.a + bottom[c] * bottom.a * (1 - top.a)) / a;
  return { r: mix('r'), g: mix('g'), b: mix('b'), a };
}

function luminance(c) {
  const lin = (v) => {
    const s = v / 255;
    return s <= 0.03928 ? s / 12.92 : ((s + 0.055) / 1.055) ** 2.4;
  };
  return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
}

function ratio(a, b) {
  const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
  return (hi + 0.05) / (lo + 0.05);
}

// The colour behind an element: its own and its ancestors' backgrounds laid over each other,
// on the white of the canvas; null when an image or gradient is among them (cannot be told).
// A dialog in the top layer is over the page's backdrop, which does not reach its contents.
function backgroundOf(el) {
  const layers = [];
  for (let e = el; e; e = e.parentElement) {
    const style = getComputedStyle(e);
    if (style.backgroundImage !== 'none') return null;
    const c = parseColour(style.backgroundColor);
    if (c && c.a > 0) layers.push(c);
    if (c && c.a >= 1) break;
    if (e.tagName === 'DIALOG' && e.open) break;
  }
  let colour = { r: 255, g: 255, b: 255, a: 1 };
  for (let i = layers.length - 1; i >= 0; --i) colour = over(layers[i], colour);
  return colour;
}

// Opacity of the element and its ancestors, which fades text towards what is behind it.
function opacityOf(el) {
  let o = 1;
  for (let e = el; e; e = e.parentElement) o *= parseFloat(getComputedStyle(e).opacity);
  return o;
}

function large(style) {
  const size = parseFloat(style.fontSize);
  return size >= 24 || (size >= 18.66 && Number(style.fontWeight) >= 700);
}

function checkText(el, style, what) {
  const fg = parseColour(style.color);
  const bg = backgroundOf(el);
  if (!fg || !bg) return;
  const shown = over({ ...fg, a: fg.a * opacityOf(el) }, bg);
  const r = ratio(shown, bg);
  const need = large(style) ? 3 : 4.5;
  if (r + 1e-9 < need) {
    findings.push(`contrast ${r.toFixed(2)}:1 < ${need}:1 (${style.color} on ` +
      `rgb(${Math.round(bg.r)}, ${Math.round(bg.g)}, ${Math.round(bg.b)})): ${what}`);
  }
}

for (const el of document.body.querySelectorAll('*')) {
  if (!rendered(el)) continue;
  // Controls that cannot be used need not stand out (they are not for reading).
  if (el.disabled) continue;
  const style = getComputedStyle(el);
  const hasText = [...el.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim());
  const isField = (el.tagName === 'INPUT' && !['checkbox', 'radio', 'range', 'hidden']
    .includes(el.type)) || el.tagName === 'SELECT' || el.tagName === 'TEXTAREA';
  if (hasText || isField) checkText(el, style, describe(el));
  for (const pseudo of ['::before', '::after']) {
    const p = getComputedStyle(el, pseudo);
    if (p.content && p.content !== 'none' && p.content !== 'normal' && p.content !== '""') {
      checkText(el, p, `${describe(el)}${pseudo}`);
    }
  }
}

// ---- Sideways scrolling ----
const width = document.documentElement.clientWidth;
if (document.documentElement.scrollWidth > width) {
  const wide = [...document.body.querySelectorAll('*')]
    .filter((e) => rendered(e) && e.getBoundingClientRect().right > width + 0.5)
    // the outermost ones only: their children overflow with them
    .filter((e, _, all) => !all.includes(e.parentElement));
  findings.push(`scrolls sideways: ${document.documentElement.scrollWidth} px in ${width} px; ` +
    wide.slice(0, 5).map(describe).join(', '));
}

return findings;
