// The page: sign-in, then the overview of the installation, kept current by the server's events.
import { Bridge, ApiError, inParallel } from './api.js';
import {
  ARM_MODES, areaModeText, dateText, linkText, serverStatusText, unitLevel, unitText, zoneState,
} from './words.js';

const bridge = new Bridge();
const $ = (id) => document.getElementById(id);
const PARALLEL = 5;

// Everything shown, by the handle the session holds for it.
let areas = new Map();
let zones = new Map();
let units = new Map();
let lastRenewal = 0;
let clock = null; // {days, at}: the controller's clock as read, and when (performance.now())
let generation = 0; // bumped at each sign-in or sign-out; stale loads stop

function el(tag, props = {}, ...children) {
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

function notice(text) {
  $('notice').textContent = text || '';
  $('notice').hidden = !text;
}

function describe(error) {
  if (!(error instanceof ApiError)) return String(error.message || error);
  switch (error.status) {
    case 'C0000005':
      return 'The code was not accepted.';
    case 'C0050014':
      return `Too many wrong codes. Try again in ${error.retryAfter ?? 'a few'} seconds.`;
    case '80070005':
      return 'You are not allowed to do that.';
    default:
      return error.message;
  }
}

// ---- Signing in and out ----------------------------------------------------------------------

function showSignin(message = '') {
  generation++;
  delete document.body.dataset.ready;
  bridge.closeEvents();
  $('overview').hidden = true;
  $('who').hidden = true;
  $('link').hidden = true;
  $('signin').hidden = false;
  $('signin-error').textContent = message;
  $('signin-code').value = '';
  $('signin-submit').disabled = false;
  $('signin-user').focus();
}

async function signIn(event) {
  event.preventDefault();
  const user = $('signin-user').value.trim();
  const code = $('signin-code').value;
  $('signin-submit').disabled = true;
  $('signin-error').textContent = '';
  try {
    const reply = await bridge.login(user, code);
    $('signin-code').value = '';
    await enter(reply);
  } catch (e) {
    $('signin-code').value = '';
    $('signin-error').textContent =
      e instanceof ApiError && e.status === 'C0000005' ? 'Wrong user name or code.' : describe(e);
    $('signin-submit').disabled = false;
    $('signin-code').focus();
  }
}

function signedIn(reply) {
  lastRenewal = performance.now();
  const until = new Date(Date.now() + (reply.expiresIn || 900) * 1000);
  $('who-text').textContent = `${reply.user} · until ${until.toLocaleTimeString([], {
    hour: '2-digit', minute: '2-digit' })}`;
  $('who').hidden = false;
}

async function enter(reply) {
  signedIn(reply);
  $('signin').hidden = true;
  notice('');
  await loadOverview();
}

// Any use of the page renews the login, at most once a minute.
function activity() {
  if ($('who').hidden || performance.now() - lastRenewal < 60000) return;
  lastRenewal = performance.now();
  bridge.renew().then(signedIn, (e) => {
    if (e instanceof ApiError && e.expired) expired();
  });
}

function expired() {
  if (!$('signin').hidden) return;
  showSignin('Your session has ended. Please sign in again.');
}

// ---- The overview ----------------------------------------------------------------------------

async function loadOverview() {
  const mine = ++generation;
  delete document.body.dataset.ready;
  areas = new Map();
  zones = new Map();
  units = new Map();
  $('areas').replaceChildren();
  $('zones').replaceChildren();
  $('units').replaceChildren();
  const server = await bridge.open();
  await bridge.listen(onEvent, onStreamTrouble);
  await Promise.all([refreshServer(), loadAreas()]);
  if (mine !== generation) return;
  $('overview').hidden = false;
  document.body.dataset.ready = 'areas';
  await Promise.all([loadZones(), loadUnits()]);
  if (mine !== generation) return;
  document.body.dataset.ready = 'all';
  return server;
}

async function refreshServer() {
  const s = bridge.server;
  const [status, link, model, version, date] = await Promise.all([
    bridge.value(s, 'Status'),
    bridge.value(s, 'LinkState'),
    bridge.value(s, 'Model').catch(() => null),
    bridge.value(s, 'Version').catch(() => null),
    bridge.value(s, 'Date').catch(() => null),
  ]);
  $('server-status').textContent = serverStatusText(status);
  $('server-status').dataset.status = status;
  showLink(link);
  $('server-model').textContent = model ?? '—';
  $('server-firmware').textContent = version ?? '—';
  clock = typeof date === 'number' ? { days: date, at: performance.now() } : null;
  showClock();
}

function showClock() {
  $('server-clock').textContent = clock
    ? dateText(clock.days + (performance.now() - clock.at) / 86400000)
    : '—';
}

function showLink(state) {
  $('server-link').textContent = linkText(state);
  $('server-link').dataset.state = state;
  const bad = state !== 'up';
  $('link').hidden = !bad;
  $('link').dataset.state = state;
  $('link').textContent = state === 'down'
    ? 'The controller does not answer: what you see may be out of date.'
    : bad ? 'The link to the controller is unreliable.' : '';
}

// The elements of a collection, in order (Item(1) to Item(Count)).
async function elements(collection) {
  const handle = (await bridge.get(bridge.server, collection)).object;
  const count = await bridge.value(handle, 'Count');
  const indexes = Array.from({ length: count || 0 }, (_, i) => i + 1);
  return inParallel(indexes, PARALLEL, async (i) => (await bridge.get(handle, 'Item', [i])).object);
}

async function loadAreas() {
  const handles = await elements('Areas');
  const list = await inParallel(handles, PARALLEL, async (h) => {
    const [id, name] = await Promise.all([bridge.value(h, 'ID'), bridge.value(h, 'Name')]);
    return { handle: h, id, name: name || `Area ${id}` };
  });
  for (const a of list) {
    a.row = el('li', { class: 'row area', id: `area-${a.id}` },
      el('span', { class: 'name', text: a.name }),
      a.modeEl = el('span', { class: 'state', text: '…' }),
      el('span', { class: 'buttons' },
        el('button', { type: 'button', text: 'Arm…', onclick: () => arm(a) }),
        el('button', { type: 'button', text: 'Disarm', onclick: () => disarm(a) })));
    areas.set(a.handle, a);
    $('areas').append(a.row);
  }
  await inParallel(list, PARALLEL, refreshArea);
}

async function refreshArea(a) {
  const mode = await bridge.value(a.handle, 'SecurityMode');
  a.mode = mode;
  a.modeEl.textContent = areaModeText(mode);
  a.row.dataset.mode = mode;
}

function areaGroup(areaId) {
  let group = $(`zones-area-${areaId}`);
  if (group) return group.querySelector('ul');
  const area = [...areas.values()].find((a) => a.id === areaId);
  const title = area ? area.name : areaId ? `Area ${areaId}` : 'Other zones';
  group = el('section', { id: `zones-area-${areaId}`, class: 'group' },
    el('h3', { text: title }), el('ul', { class: 'rows' }));
  $('zones').append(group);
  return group.querySelector('ul');
}

async function loadZones() {
  const handles = await elements('Zones');
  const list = await inParallel(handles, PARALLEL, async (h) => {
    const [id, name, area] = await Promise.all([
      bridge.value(h, 'ID'), bridge.value(h, 'Name'), bridge.get(h, 'Area').catch(() => null)]);
    let areaId = 0;
    if (area && area.object && areas.has(area.object)) areaId = areas.get(area.object).id;
    else if (area && typeof area.value === 'number') areaId = area.value;
    return { handle: h, id, name, areaId };
  });
  // Zones without a name are not in use.
  for (const z of list.filter((z) => z.name)) {
    z.stateEl = el('span', { class: 'state' });
    z.button = el('button', { type: 'button', text: 'Bypass', onclick: () => toggleBypass(z) });
    z.row = el('li', { class: 'row zone', id: `zone-${z.id}` },
      el('span', { class: 'name', text: z.name }), z.stateEl, el('span', { class: 'buttons' }, z.button));
    zones.set(z.handle, z);
    areaGroup(z.areaId).append(z.row);
  }
  await inParallel([...zones.values()], PARALLEL, refreshZone);
}

async function refreshZone(z) {
  const [condition, alarm, arming, trouble] = await Promise.all([
    bridge.value(z.handle, 'CurrCondition'), bridge.value(z.handle, 'AlarmStatus'),
    bridge.value(z.handle, 'ArmingStatus'), bridge.value(z.handle, 'HadTrouble')]);
  Object.assign(z, { condition, alarm, arming, trouble });
  const state = zoneState(z);
  z.stateEl.textContent = state.text;
  z.row.dataset.state = state.key;
  z.bypassed = arming === 1 || arming === 2;
  z.button.textContent = z.bypassed ? 'Restore' : 'Bypass';
}

async function loadUnits() {
  const handles = await elements('Units');
  const list = await inParallel(handles, PARALLEL, async (h) => {
    const [id, name] = await Promise.all([bridge.value(h, 'ID'), bridge.value(h, 'Name')]);
    return { handle: h, id, name };
  });
  for (const u of list.filter((u) => u.name)) {
    u.stateEl = el('span', { class: 'state' });
    u.button = el('button', { type: 'button', text: 'On', 'aria-pressed': 'false',
      onclick: () => switchUnit(u) });
    u.slider = el('input', { type: 'range', min: 0, max: 100, step: 1, value: 0,
      id: `unit-${u.id}-level`, onchange: () => setLevel(u) });
    const label = el('label', { class: 'visually-hidden', htmlFor: u.slider.id,
      text: `${u.name} level` });
    u.row = el('li', { class: 'row unit', id: `unit-${u.id}` },
      el('span', { class: 'name', text: u.name }), u.stateEl,
      el('span', { class: 'buttons' }, u.button, label, u.slider));
    units.set(u.handle, u);
    $('units').append(u.row);
  }
  await inParallel([...units.values()], PARALLEL, refreshUnit);
}

async function refreshUnit(u) {
  const status = await bridge.value(u.handle, 'Status');
  u.status = status;
  const level = unitLevel(status);
  u.on = level !== 0;
  u.stateEl.textContent = unitText(status);
  u.row.dataset.state = u.on ? 'on' : 'off';
  u.button.textContent = u.on ? 'Off' : 'On';
  u.button.setAttribute('aria-pressed', String(u.on));
  u.button.setAttribute('aria-label', `${u.name}: switch ${u.on ? 'off' : 'on'}`);
  if (level !== null && document.activeElement !== u.slider) u.slider.value = level;
}

// ---- Commands --------------------------------------------------------------------------------

async function command(fn, after) {
  notice('');
  try {
    await fn();
  } catch (e) {
    notice(describe(e));
  }
  // The event the command causes updates the page; reading back here only covers a command
  // that changed nothing the controller reports.
  if (after) await after().catch(() => {});
}

async function arm(a) {
  const choice = await keypad(`Arm ${a.name}`, true);
  if (choice) {
    await command(() => bridge.call(a.handle, 'Arm', [choice.code, choice.mode]),
      () => refreshArea(a));
  }
}

async function disarm(a) {
  const choice = await keypad(`Disarm ${a.name}`, false);
  if (choice) await command(() => bridge.call(a.handle, 'Disarm', [choice.code]), () => refreshArea(a));
}

async function toggleBypass(z) {
  const what = z.bypassed ? 'Restore' : 'Bypass';
  const choice = await keypad(`${what} ${z.name}`, false);
  if (choice) await command(() => bridge.call(z.handle, what, [choice.code]), () => refreshZone(z));
}

async function switchUnit(u) {
  await command(() => bridge.call(u.handle, u.on ? 'Off' : 'On'), () => refreshUnit(u));
}

async function setLevel(u) {
  await command(() => bridge.call(u.handle, 'Level', [Number(u.slider.value)]),
    () => refreshUnit(u));
}

// ---- The keypad: a code (typed or touched) and, for arming, a mode ----------------------------

let keypadDone = null;

function buildKeypad() {
  const keys = $('keypad-keys');
  for (const k of ['1', '2', '3', '4', '5', '6', '7', '8', '9', 'Clear', '0', '⌫']) {
    keys.append(el('button', {
      type: 'button', text: k, class: 'key',
      'aria-label': k === '⌫' ? 'Delete last digit' : k === 'Clear' ? 'Clear code' : k,
      onclick: () => {
        const input = $('keypad-code');
        if (k === 'Clear') input.value = '';
        else if (k === '⌫') input.value = input.value.slice(0, -1);
        else if (input.value.length < 8) input.value += k;
      },
    }));
  }
  $('keypad-cancel').onclick = () => $('keypad').close('');
  $('keypad-form').onsubmit = (e) => {
    e.preventDefault();
    const code = $('keypad-code').value;
    if (!/^[0-9]{1,8}$/.test(code)) {
      $('keypad-error').textContent = 'Enter the code (digits only).';
      return;
    }
    $('keypad').close('ok');
  };
  $('keypad').addEventListener('close', () => {
    const ok = $('keypad').returnValue === 'ok';
    const picked = document.querySelector('input[name="keypad-mode"]:checked');
    const result = ok ? { code: $('keypad-code').value, mode: picked ? Number(picked.value) : 0 } : null;
    $('keypad-code').value = '';
    if (keypadDone) keypadDone(result);
    keypadDone = null;
  });
}

function keypad(title, withModes) {
  $('keypad-title').textContent = title;
  $('keypad-error').textContent = '';
  $('keypad-code').value = '';
  const modes = $('keypad-modes');
  modes.replaceChildren();
  modes.hidden = !withModes;
  if (withModes) {
    ARM_MODES.forEach((m, i) => {
      const input = el('input', { type: 'radio', name: 'keypad-mode', value: m.mode,
        id: `keypad-mode-${m.mode}`, checked: i === 0 });
      modes.append(el('span', { class: 'mode' }, input,
        el('label', { htmlFor: input.id, text: m.text })));
    });
  }
  $('keypad').returnValue = '';
  $('keypad').showModal();
  $('keypad-code').focus();
  return new Promise((resolve) => { keypadDone = resolve; });
}

// ---- Events ----------------------------------------------------------------------------------

// The objects an event names: its arguments and their properties.
function objectsOf(event) {
  const found = [];
  for (const a of event.arguments || []) {
    if (a && a.vt === 9 && a.object) found.push(a);
    for (const p of Object.values((a && a.properties) || {})) {
      if (p && p.vt === 9 && p.object) found.push(p);
    }
  }
  return found;
}

function onEvent(event) {
  window.zelLastEvent = { member: event.member, received: event.received };
  (window.zelEvents ||= []).push(event);
  if (event.member === 'OnServerStatusChange') refreshServer().catch(() => {});
  if (event.member === 'OnLinkStateChange') showLink(event.arguments?.[0]?.value);
  // The server refreshed what the event concerns before it fired: read it again.
  const release = [];
  for (const o of objectsOf(event)) {
    if (areas.has(o.object)) refreshArea(areas.get(o.object)).catch(() => {});
    else if (zones.has(o.object)) refreshZone(zones.get(o.object)).catch(() => {});
    else if (units.has(o.object)) refreshUnit(units.get(o.object)).catch(() => {});
    else if (o.class === 'CZelAreas') areas.forEach((a) => refreshArea(a).catch(() => {}));
    else if (o.object !== bridge.server) release.push(o.object);
  }
  // Event objects are the session's until given back.
  for (const h of new Set(release)) bridge.op({ op: 'release', object: h }).catch(() => {});
}

async function onStreamTrouble(readyState) {
  // The browser reconnects by itself unless the bridge refused the stream: then the login may
  // have ended.
  try {
    signedIn(await bridge.renew());
    if (readyState === EventSource.CLOSED) {
      notice('The connection to the server was lost; reconnecting…');
      setTimeout(() => loadOverview().then(() => notice('')).catch(() => {}), 2000);
    }
  } catch (e) {
    if (e instanceof ApiError && e.expired) expired();
    else notice('The server cannot be reached.');
  }
}

// ---- Start -----------------------------------------------------------------------------------

function main() {
  buildKeypad();
  bridge.onExpired = expired;
  $('signin-form').addEventListener('submit', signIn);
  $('signout').addEventListener('click', async () => {
    await bridge.logout();
    showSignin('You have signed out.');
  });
  document.addEventListener('pointerdown', activity);
  document.addEventListener('keydown', activity);
  setInterval(showClock, 15000);
  // A login from before (the cookie is the browser's) goes straight to the overview.
  bridge.renew().then(enter, () => showSignin()).catch((e) => notice(describe(e)));
}

main();
