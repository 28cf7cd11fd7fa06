// Does an open control panel slow the line? Runs bonus sales against vexcard-terminal
// without a panel and with the panel open in headless Chromium, alternating, and compares the
// exchange durations the driver logs (request written to reply received).
//
//   node line_timing.mjs VEXCARD_TERMINAL VEXCARD [ROUNDS]
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [terminalPath, vexcardPath, roundsArg] = process.argv.slice(2);
const rounds = Number(roundsArg || 3);
const { chromium } = await import('playwright-core');

function start(args) {
  const child = spawn(terminalPath, ['--listen', '127.0.0.1:0', '--quiet', ...args]);
  let err = '';
  return new Promise((resolve) => child.stderr.on('data', (d) => {
    err += d;
    const port = /rfc2217:\/\/[^;\s]+/.exec(err), panel = /http:\/\/\S+/.exec(err);
    if (port && (panel || !args.length)) resolve({ child, port: port[0], panel: panel && panel[0] });
  }));
}

// Milliseconds from each "Send:" line to the reply line after it.
function durations(log) {
  const ms = (line) => {
    const m = /^. \d\d\.\d\d (\d\d):(\d\d):(\d\d)\.(\d+)/.exec(line);
    return m ? ((+m[1] * 60 + +m[2]) * 60 + +m[3]) * 1000 + +m[4].padEnd(3, '0') : null;
  };
  const out = [];
  let sent = null;
  for (const line of log.split(/\r?\n/)) {
    if (line.includes(']:  Send:')) sent = ms(line);
    else if (sent !== null && /\]:  .*:  [0-9A-F]{2}/.test(line)) { out.push(ms(line) - sent); sent = null; }
  }
  return out;
}

async function run(withPage, browser) {
  const t = await start(withPage ? ['--panel', '127.0.0.1:0'] : []);
  const tmp = mkdtempSync(join(tmpdir(), 'vexcard-timing-'));
  mkdirSync(join(tmp, 'log'));
  let page;
  if (withPage) {
    page = await browser.newPage();
    await page.goto(t.panel);
    await page.locator('#link.on').waitFor();
  }
  for (let k = 0; k < 10; k++) {
    execFileSync(vexcardPath, ['--port', '7', 'bonus-sale', '--purse', '19', '--qty', '1', '--sum', '18.5'], {
      env: { ...process.env, VEXCARD_COM7: t.port, VEXCARD_SETTINGS_DIR: join(tmp, 's'), VEXCARD_LOG_DIR: join(tmp, 'log') },
    });
  }
  if (page) await page.close();
  t.child.kill('SIGINT');
  const d = durations(readFileSync(join(tmp, 'log', 'VexCard.log'), 'latin1'));
  rmSync(tmp, { recursive: true, force: true });
  return d;
}

const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'] });
const without = [], withPanel = [];
for (let r = 0; r < rounds; r++) {
  without.push(...await run(false, browser));
  withPanel.push(...await run(true, browser));
}
await browser.close();
const mean = (a) => a.reduce((x, y) => x + y, 0) / a.length;
const median = (a) => a.slice().sort((x, y) => x - y)[Math.floor(a.length / 2)];
console.log(`exchanges: ${without.length} without the panel, ${withPanel.length} with the page open`);
console.log(`mean   ${mean(without).toFixed(1)} ms vs ${mean(withPanel).toFixed(1)} ms: ratio ${(mean(withPanel) / mean(without)).toFixed(3)}`);
console.log(`median ${median(without)} ms vs ${median(withPanel)} ms; max ${Math.max(...without)} vs ${Math.max(...withPanel)} ms`);
