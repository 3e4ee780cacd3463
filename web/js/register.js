// The registration page: for an administrator, the transport to the controller and its
// settings, the access code and what the server downloads at start, stored with SaveSetup;
// and the bearer tokens of programs (listed, added and removed through the bridge's token op).
import { ApiError, Bridge } from './api.js';
import { $, el, notice } from './dom.js';

const bridge = new Bridge();
let handlers = []; // the catalogue: {handle, name, kind: 'serial' | 'network' | ''}

function gate(text) {
  $('gate').textContent = text;
  $('gate').hidden = false;
  $('setup').hidden = true;
  $('tokens').hidden = true;
}

function kindOf(cls) {
  if (cls === 'CZelCommHandlerSerial') return 'serial';
  if (cls === 'CZelCommHandlerNetwork') return 'network';
  return '';
}

function chosen() {
  const input = document.querySelector('input[name="transport"]:checked');
  return input ? handlers[Number(input.value)] : null;
}

function showSettings() {
  const h = chosen();
  $('serial').hidden = !h || h.kind !== 'serial';
  $('network').hidden = !h || h.kind !== 'network';
  for (const id of ['serial-port']) $(id).required = !$('serial').hidden;
  for (const id of ['network-address', 'network-port']) $(id).required = !$('network').hidden;
}

async function load() {
  const s = bridge.server;
  const catalogue = (await bridge.get(s, 'CommHandlers')).object;
  const count = await bridge.value(catalogue, 'Count');
  const items = await bridge.batch(Array.from({ length: count }, (_, i) =>
    ({ op: 'call', object: catalogue, member: 'Item', args: [i + 1] })));
  const found = items.map((r) => r.result).filter((r) => r && r.object);
  const named = await bridge.readMany(found.map((r) => r.object), ['Name']);
  handlers = found.map((r, i) => ({ handle: r.object, name: named[i].Name?.value || r.class,
    kind: kindOf(r.class) }));

  const current = await bridge.get(s, 'CommunicationsHandler').catch(() => null);
  const currentName = current && current.object
    ? (await bridge.read(current.object, ['Name'])).Name?.value : null;
  const box = $('transports');
  box.replaceChildren();
  handlers.forEach((h, i) => {
    const input = el('input', { type: 'radio', name: 'transport', id: `transport-${i}`,
      value: i, checked: h.name === currentName, onchange: showSettings });
    box.append(el('div', { class: 'check' }, input,
      el('label', { htmlFor: input.id, text: h.name })));
  });
  if (!chosen() && handlers.length) box.querySelector('input').checked = true;

  for (const h of handlers) {
    if (h.kind === 'serial') {
      const v = await bridge.read(h.handle, ['Port', 'BaudRate']);
      if (h.name === currentName || !$('serial-port').value) {
        $('serial-port').value = v.Port?.value ?? '';
        if (v.BaudRate) $('serial-baud').value = String(v.BaudRate.value);
      }
    } else if (h.kind === 'network') {
      const v = await bridge.read(h.handle, ['Address', 'Port', 'PrivateKey']);
      $('network-address').value = v.Address?.value ?? '';
      $('network-port').value = v.Port?.value ?? '';
      $('network-key').value = v.PrivateKey?.value ?? '';
    }
  }
  const flags = await bridge.read(s, ['DownloadSetup', 'DownloadNames', 'SetControllerTime']);
  $('flag-setup').checked = Boolean(flags.DownloadSetup?.value);
  $('flag-names').checked = Boolean(flags.DownloadNames?.value);
  $('flag-time').checked = Boolean(flags.SetControllerTime?.value);
  showSettings();
  $('setup').hidden = false;
}

async function save(event) {
  event.preventDefault();
  const s = bridge.server;
  const h = chosen();
  if (!h) return;
  const ops = [];
  const put = (object, member, value) => ops.push({ op: 'put', object, member, value });
  if (h.kind === 'serial') {
    put(h.handle, 'Port', Number($('serial-port').value));
    put(h.handle, 'BaudRate', Number($('serial-baud').value));
  } else if (h.kind === 'network') {
    put(h.handle, 'Address', $('network-address').value.trim());
    put(h.handle, 'Port', Number($('network-port').value));
    if ($('network-key').value.trim()) put(h.handle, 'PrivateKey', $('network-key').value.trim());
  }
  put(s, 'CommunicationsHandler', { vt: 9, object: h.handle });
  if ($('access-code').value) put(s, 'AccessCode', $('access-code').value);
  put(s, 'DownloadSetup', $('flag-setup').checked);
  put(s, 'DownloadNames', $('flag-names').checked);
  put(s, 'SetControllerTime', $('flag-time').checked);
  ops.push({ op: 'call', object: s, member: 'SaveSetup', args: [] });
  $('save').disabled = true;
  $('result').textContent = 'Saving…';
  try {
    const replies = await bridge.batch(ops);
    const bad = replies.findIndex((r) => r.http !== 200 || (parseInt(r.status, 16) & 0x80000000));
    if (bad >= 0) {
      const r = replies[bad];
      const what = ops[bad].member;
      $('result').textContent = `Not saved: ${what}: ${r.error?.description || r.statusName}`;
    } else {
      $('result').textContent = 'Saved. The server uses these settings from its next start.';
    }
    $('access-code').value = '';
  } catch (e) {
    $('result').textContent = e instanceof ApiError ? e.message : String(e);
  } finally {
    $('save').disabled = false;
  }
}

// ---- Tokens ----

function tokenOp(fields) {
  return bridge.op({ op: 'token', ...fields });
}

function made(seconds) {
  const d = new Date(seconds * 1000);
  const two = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ` +
    `${two(d.getHours())}:${two(d.getMinutes())}`;
}

async function listTokens() {
  const { tokens } = await tokenOp({ action: 'list' });
  const rows = tokens.map((t) => {
    const remove = el('button', { type: 'button', text: 'Remove',
      'aria-label': `Remove token ${t.name}`, onclick: () => confirmRemove(t.name) });
    return el('tr', { 'data-name': t.name },
      el('td', { text: t.name }), el('td', { text: t.role }),
      el('td', { text: made(t.created) }), el('td', {}, remove));
  });
  $('token-rows').replaceChildren(...rows);
  $('token-none').hidden = tokens.length > 0;
}

function said(e) {
  return e instanceof ApiError ? e.message : String(e);
}

async function addToken(event) {
  event.preventDefault();
  const name = $('token-name').value.trim();
  $('token-add-button').disabled = true;
  $('token-result').textContent = '';
  try {
    const reply = await tokenOp({ action: 'add', name, role: $('token-role').value });
    $('token-new-title').textContent = `New token "${reply.name}" (${reply.role})`;
    $('token-value').value = reply.token;
    $('token-copied').textContent = '';
    $('token-new').hidden = false;
    $('token-value').focus();
    $('token-value').select();
    $('token-name').value = '';
    await listTokens();
  } catch (e) {
    $('token-result').textContent = `Not added: ${said(e)}`;
  } finally {
    $('token-add-button').disabled = false;
  }
}

async function copyToken() {
  const input = $('token-value');
  input.select();
  try {
    await navigator.clipboard.writeText(input.value);
  } catch {
    document.execCommand('copy'); // where the clipboard interface is not offered
  }
  $('token-copied').textContent = 'Copied.';
}

// The token leaves the page once the person has taken it.
function doneWithToken() {
  $('token-value').value = '';
  $('token-new').hidden = true;
  $('token-name').focus();
}

function confirmRemove(name) {
  const dialog = $('token-confirm');
  $('token-confirm-what').textContent =
    `Programs using the token "${name}" will be refused from their next request.`;
  dialog.returnValue = '';
  dialog.onclose = async () => {
    if (dialog.returnValue !== 'remove') return;
    try {
      await tokenOp({ action: 'remove', name });
      $('token-result').textContent = `Token "${name}" removed.`;
    } catch (e) {
      $('token-result').textContent = `Not removed: ${said(e)}`;
    }
    await listTokens().catch((e) => { $('token-result').textContent = said(e); });
  };
  dialog.showModal();
  $('token-confirm-cancel').focus();
}

async function loadTokens() {
  $('token-add').addEventListener('submit', addToken);
  $('token-copy').addEventListener('click', copyToken);
  $('token-done').addEventListener('click', doneWithToken);
  $('token-confirm-cancel').addEventListener('click', () => $('token-confirm').close('cancel'));
  await listTokens();
  $('tokens').hidden = false;
}

async function main() {
  $('setup').addEventListener('submit', save);
  bridge.onExpired = () => gate('Your session has ended. Sign in again on the main page.');
  let login;
  try {
    login = await bridge.renew();
  } catch {
    gate('Sign in on the main page first, as an administrator.');
    $('gate').append(' ', el('a', { href: './', text: 'Go to sign-in' }));
    return;
  }
  if (login.role !== 'admin') {
    gate(`This page is for administrators; ${login.user} may not change the settings.`);
    document.body.dataset.ready = 'refused';
    return;
  }
  try {
    await bridge.open();
    await Promise.all([load(), loadTokens()]);
    document.body.dataset.ready = 'register';
  } catch (e) {
    notice(e instanceof ApiError ? e.message : String(e));
  }
}

main();
