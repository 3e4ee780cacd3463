// The page: sign-in, then the overview and the history of the installation, kept current by the
// server's events.
import { Bridge, ApiError } from './api.js';
import { Devices } from './devices.js';
import { $, el, markAge, notice } from './dom.js';
import { History } from './history.js';
import {
  ARM_MODES, areaModeText, dateText, linkText, serverStatusText, unitLevel, unitText, zoneState,
} from './words.js';

const bridge = new Bridge();

// What the page shows, by the handle the session holds for it: its refresh (null when it has
// nothing to re-read) and, for areas and zones, what names it in the history.
let watched = new Map();
let names = new Map();
let areas = new Map();
let lastRenewal = 0;
let clock = null; // {days, at}: the controller's clock as read, and when (performance.now())
let generation = 0; // bumped at each sign-in or sign-out; a load of an older one stops
let linkState = 'up';

const page = {
  bridge,
  get names() { return names; },
  watch(handle, refresh) { watched.set(handle, refresh); },
  areaOptions: () => [...areas.values()].map((a) => ({ id: a.id, name: a.name })),
  release(handles) {
    for (const h of new Set(handles)) {
      if (h && !watched.has(h) && h !== bridge.server) {
        bridge.op({ op: 'release', object: h }).catch(() => {});
      }
    }
  },
  command,
};
const devices = new Devices(page);
const history = new History(page);

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
  for (const id of ['overview', 'history', 'who', 'link', 'views']) $(id).hidden = true;
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
    performance.mark('signin-submit');
    const reply = await bridge.login(user, code);
    performance.mark('signin-accepted');
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

// opening: the session being opened already (a reload opens it while the login is renewed).
async function enter(reply, opening) {
  signedIn(reply);
  $('signin').hidden = true;
  $('views').hidden = false;
  notice('');
  showView('overview');
  await loadOverview(opening);
}

// Any use of the page renews the login, at most once a minute.
function activity() {
  if ($('who').hidden || performance.now() - lastRenewal < 60000) return;
  lastRenewal = performance.now();
  bridge.renew().then(signedIn, (e) => {
    if (loginGone(e)) expired();
  });
}

// A renewal the bridge answered with a failure: the login is over (ended, expired, unknown).
function loginGone(e) {
  return e instanceof ApiError && (e.expired || e.http === 200 || e.http === 400);
}

function expired() {
  if (!$('signin').hidden) return;
  showSignin('Your session has ended. Please sign in again.');
}

function showView(name) {
  $('overview').hidden = name !== 'overview';
  $('history').hidden = name !== 'history';
  $('show-overview').setAttribute('aria-current', String(name === 'overview'));
  $('show-history').setAttribute('aria-current', String(name === 'history'));
  if (name === 'history') history.open().catch((e) => notice(describe(e)));
}

// ---- The overview ----------------------------------------------------------------------------

async function loadOverview(opening) {
  const mine = ++generation;
  delete document.body.dataset.ready;
  watched = new Map();
  names = new Map();
  areas = new Map();
  history.reset();
  for (const id of ['areas', 'zones', 'units', 'thermostats', 'sensors', 'messages', 'audio',
    'buttons', 'history-rows']) {
    $(id).replaceChildren();
  }
  performance.mark('overview-start');
  await (opening || bridge.open());
  performance.mark('overview-session');
  // Connected to the events before anything is read, so that no change falls between.
  await bridge.listen(onEvent, onStreamTrouble);
  performance.mark('overview-listening');
  // Zones and units are read while the areas are; they are shown once the areas are, since
  // zones are grouped by area. The first screenful of each is shown while the rest is read.
  const areasShown = loadAreas().then(() => {
    performance.mark('overview-areas');
    if (mine === generation) document.body.dataset.ready = 'areas';
  });
  const zones = loadZones(areasShown);
  const units = loadUnits(areasShown);
  const server = refreshServer();
  await Promise.all([server, zones.first, units.first]);
  if (mine !== generation) return;
  performance.mark('overview-first');
  await Promise.all([zones.all, units.all]);
  if (mine !== generation) return;
  document.body.dataset.ready = 'overview';
  performance.mark('overview-ready');
  // And when the browser has painted it (the frame after the one it was built for).
  requestAnimationFrame(() => setTimeout(() => performance.mark('overview-painted'), 0));
  await devices.load();
  if (mine !== generation) return;
  document.body.dataset.ready = 'all';
}

async function refreshServer() {
  const values = await bridge.read(bridge.server,
    ['Status', 'LinkState', 'Model', 'Version', 'Date']);
  const [status, link, model, version, date] =
    ['Status', 'LinkState', 'Model', 'Version', 'Date'].map((m) => v(values, m));
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
  const was = linkState;
  linkState = state;
  $('server-link').textContent = linkText(state);
  $('server-link').dataset.state = state;
  document.body.dataset.link = state;
  const bad = state !== 'up';
  $('link').hidden = !bad;
  $('link').dataset.state = state;
  $('link').textContent = state === 'down'
    ? 'The controller does not answer: what you see may be out of date.'
    : bad ? 'The link to the controller is unreliable.' : '';
  // Back from a loss: what changed meanwhile was not reported, so read everything again.
  if (was === 'down' && state === 'up') {
    for (const refresh of watched.values()) if (refresh) refresh().catch(() => {});
  }
}

const AREA_STATE = ['SecurityMode'];
const ZONE_STATE = ['CurrCondition', 'AlarmStatus', 'ArmingStatus'];
const UNIT_STATE = ['Status'];
const v = (values, member) => values[member]?.value;

async function loadAreas() {
  const handles = await bridge.items('Areas');
  const values = await bridge.readMany(handles, ['ID', 'Name', ...AREA_STATE]);
  handles.forEach((h, i) => {
    const id = v(values[i], 'ID');
    const a = { handle: h, id, name: v(values[i], 'Name') || `Area ${id}` };
    a.row = el('li', { class: 'row area', id: `area-${a.id}` },
      el('span', { class: 'name', text: a.name }),
      a.modeEl = el('span', { class: 'state', text: '…' }),
      el('span', { class: 'buttons' },
        el('button', { type: 'button', text: 'Arm…', 'aria-label': `Arm ${a.name}`,
          onclick: () => arm(a) }),
        el('button', { type: 'button', text: 'Disarm', 'aria-label': `Disarm ${a.name}`,
          onclick: () => disarm(a) })));
    areas.set(a.handle, a);
    names.set(a.handle, a);
    page.watch(a.handle, () => refreshArea(a));
    $('areas').append(a.row);
    showArea(a, values[i]);
  });
}

async function refreshArea(a) {
  showArea(a, await bridge.read(a.handle, AREA_STATE));
}

function showArea(a, values) {
  const mode = values.SecurityMode || {};
  a.mode = mode.value;
  a.modeEl.textContent = areaModeText(mode.value);
  a.row.dataset.mode = mode.value;
  markAge(a.row, mode.age);
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

// Rows shown before the rest of a long list has been read: about a screenful.
const FIRST_ROWS = 40;

// Reads a collection in two parts (bridge.partsOf) and shows each once it and `before` are in,
// in order: {first, all}, promises of the first part shown and of all of it.
function loadInParts(collection, members, before, show) {
  const mine = generation;
  const parts = bridge.partsOf(collection, members, FIRST_ROWS);
  const showPart = async (index, after) => {
    const { handles, values } = await (await parts)[index];
    await Promise.all([before, after]);
    if (mine === generation) show(handles, values);
  };
  const first = showPart(0);
  const all = showPart(1, first);
  all.catch(() => {}); // when the first part failed, its failure is the one reported
  return { first, all };
}

function loadZones(areasShown) {
  return loadInParts('Zones', ['ID', 'Name', 'Area', ...ZONE_STATE], areasShown, showZones);
}

function showZones(handles, values) {
  handles.forEach((h, i) => {
    const name = v(values[i], 'Name');
    if (!name) return; // a zone without a name is not in use
    const area = values[i].Area;
    let areaId = 0;
    if (area && area.object && areas.has(area.object)) areaId = areas.get(area.object).id;
    else if (area && typeof area.value === 'number') areaId = area.value;
    const z = { handle: h, id: v(values[i], 'ID'), name, areaId };
    z.stateEl = el('span', { class: 'state' });
    z.button = el('button', { type: 'button', text: 'Bypass', onclick: () => toggleBypass(z) });
    z.row = el('li', { class: 'row zone', id: `zone-${z.id}` },
      el('span', { class: 'name', text: z.name }), z.stateEl, el('span', { class: 'buttons' }, z.button));
    names.set(z.handle, z);
    page.watch(z.handle, () => refreshZone(z));
    areaGroup(z.areaId).append(z.row);
    showZone(z, values[i]);
  });
}

async function refreshZone(z) {
  showZone(z, await bridge.read(z.handle, ZONE_STATE));
}

function showZone(z, values) {
  Object.assign(z, { condition: v(values, 'CurrCondition'), alarm: v(values, 'AlarmStatus'),
    arming: v(values, 'ArmingStatus') });
  const state = zoneState(z);
  z.stateEl.textContent = state.text;
  z.row.dataset.state = state.key;
  z.bypassed = z.arming === 1 || z.arming === 2;
  z.button.textContent = z.bypassed ? 'Restore' : 'Bypass';
  z.button.setAttribute('aria-label', `${z.bypassed ? 'Restore' : 'Bypass'} ${z.name}`);
  markAge(z.row, values.CurrCondition?.age);
}

function loadUnits(areasShown) {
  return loadInParts('Units', ['ID', 'Name', ...UNIT_STATE], areasShown, showUnits);
}

function showUnits(handles, values) {
  const fragment = document.createDocumentFragment();
  handles.forEach((h, i) => {
    const name = v(values[i], 'Name');
    if (!name) return; // a unit without a name is not in use
    const u = { handle: h, id: v(values[i], 'ID'), name };
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
    names.set(u.handle, u);
    page.watch(u.handle, () => refreshUnit(u));
    fragment.append(u.row);
    showUnit(u, values[i]);
  });
  $('units').append(fragment);
}

async function refreshUnit(u) {
  showUnit(u, await bridge.read(u.handle, UNIT_STATE));
}

function showUnit(u, values) {
  const status = values.Status || {};
  u.status = status.value;
  const level = unitLevel(status.value);
  u.on = level !== 0;
  u.stateEl.textContent = unitText(status.value);
  u.row.dataset.state = u.on ? 'on' : 'off';
  u.button.textContent = u.on ? 'Off' : 'On';
  u.button.setAttribute('aria-pressed', String(u.on));
  u.button.setAttribute('aria-label', `${u.name}: switch ${u.on ? 'off' : 'on'}`);
  if (level !== null && document.activeElement !== u.slider) u.slider.value = level;
  markAge(u.row, status.age);
}

// ---- Commands --------------------------------------------------------------------------------

async function command(fn, after) {
  notice('');
  try {
    await fn();
  } catch (e) {
    notice(describe(e));
  }
  // The change is read back after the page's own command; changes made elsewhere arrive as
  // events.
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
  // The last events, for the browser test's timing (a short ring, so it never grows).
  const recent = (window.zelRecentEvents ||= []);
  recent.push({ member: event.member, at: event.receivedAt, seq: event.seq });
  if (recent.length > 50) recent.shift();
  if (event.member === 'OnServerStatusChange') refreshServer().catch(() => {});
  if (event.member === 'OnLinkStateChange') showLink(event.arguments?.[0]?.value);
  history.onEvent(event);
  // The server refreshed what the event concerns before it fired: read it again.
  const release = [];
  for (const o of objectsOf(event)) {
    if (watched.has(o.object)) {
      const refresh = watched.get(o.object);
      if (refresh) refresh().catch(() => {});
    } else if (o.class === 'CZelAreas') {
      areas.forEach((a) => refreshArea(a).catch(() => {}));
    } else {
      release.push(o.object);
    }
  }
  // Event objects are the session's until given back.
  page.release(release);
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
    if (loginGone(e)) expired();
    else notice('The server cannot be reached.');
  }
}

// ---- Start -----------------------------------------------------------------------------------

function main() {
  buildKeypad();
  history.bind();
  bridge.onExpired = expired;
  $('signin-form').addEventListener('submit', signIn);
  $('signout').addEventListener('click', async () => {
    await bridge.logout();
    showSignin('You have signed out.');
  });
  $('show-overview').addEventListener('click', () => showView('overview'));
  $('show-history').addEventListener('click', () => showView('history'));
  document.addEventListener('pointerdown', activity);
  document.addEventListener('keydown', activity);
  setInterval(showClock, 15000);
  // A login from before (the cookie is the browser's) goes straight to the overview; its
  // session is opened while the login is renewed.
  const opening = bridge.open();
  opening.catch(() => {}); // without a login, the renewal's failure says so
  bridge.renew().then((reply) => enter(reply, opening), () => showSignin())
    .catch((e) => notice(describe(e)));
}

main();
