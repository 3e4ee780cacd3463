// What the controller's numbers mean, in the words the page shows.

const SERVER_STATUS = {
  0: 'Unknown',
  1: 'Starting',
  2: 'Loading setup',
  3: 'Loading names',
  4: 'Loading extensions',
  5: 'Initializing',
  16: 'Running',
  17: 'Stopping',
  18: 'Stopped',
  128: 'Failed',
};

export function serverStatusText(status) {
  return SERVER_STATUS[status] ?? `Status ${status}`;
}

// The modes a person may choose when arming, in the order the keypad offers them.
export const ARM_MODES = [
  { mode: 3, text: 'Away' },
  { mode: 1, text: 'Home' },
  { mode: 2, text: 'Night' },
  { mode: 4, text: 'Vacation' },
  { mode: 5, text: 'Home, instant' },
  { mode: 6, text: 'Night, delayed' },
];

export function areaModeText(mode) {
  if (mode === 0) return 'Disarmed';
  const m = ARM_MODES.find((a) => a.mode === mode);
  if (m) return `Armed ${m.text.toLowerCase()}`;
  if (mode >= 9 && mode <= 14) return 'Arming';
  return `Mode ${mode}`;
}

// A zone's state from its values: alarm before bypass before trouble before open.
export function zoneState(z) {
  if (z.alarm === 1) return { key: 'alarm', text: 'Alarm' };
  if (z.arming === 1 || z.arming === 2) return { key: 'bypassed', text: 'Bypassed' };
  if (z.condition === 2 || z.condition === 3) return { key: 'trouble', text: 'Trouble' };
  if (z.condition === 1) return { key: 'open', text: 'Open' };
  return { key: 'closed', text: 'Closed' };
}

// A unit's Status: 0 off, 1 on, 100 to 200 a level; anything else (scenes, steps) is on.
export function unitLevel(status) {
  if (status === 0) return 0;
  if (status === 1) return 100;
  if (status >= 100 && status <= 200) return status - 100;
  return null;
}

export function unitText(status) {
  const level = unitLevel(status);
  if (level === 0) return 'Off';
  if (level === 100 || level === null) return 'On';
  return `${level}%`;
}

// A date value: days since 1899-12-30, the fraction the time of day, in the controller's own
// local time (shown as it is, without converting time zones).
export function dateText(days) {
  if (typeof days !== 'number' || !isFinite(days)) return '—';
  const d = new Date(Date.UTC(1899, 11, 30) + Math.round(days * 86400000));
  const pad = (n) => String(n).padStart(2, '0');
  return `${d.getUTCFullYear()}-${pad(d.getUTCMonth() + 1)}-${pad(d.getUTCDate())} ` +
    `${pad(d.getUTCHours())}:${pad(d.getUTCMinutes())}`;
}

export function linkText(state) {
  return { up: 'Connected', degraded: 'Unreliable', down: 'Down' }[state] ?? 'Unknown';
}
