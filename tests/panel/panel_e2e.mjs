// The control panel of vexcard-terminal in headless Chromium: a cash desk (the vexcard
// command) sells against the terminal while the page shows the line; a fault armed on the
// page spoils the next sale; a card changed on the page is what card-info then reads; the
// driver's log of these runs opens in the log viewer.
//
//   node panel_e2e.mjs VEXCARD_TERMINAL VEXCARD SCREENSHOT_DIR [README_PNG]
//
// Exits 77 (skipped) when Chromium or node_modules is missing. Every wait is bounded, and
// generously: the test waits for things to appear, it does not time them.
import { spawn, execFile } from 'node:child_process';
import { existsSync, mkdtempSync, mkdirSync, readFileSync, rmSync, copyFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import assert from 'node:assert/strict';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const here = dirname(fileURLToPath(import.meta.url));
const SKIP = 77;
const WAIT = 20000;

if (!existsSync(CHROMIUM) || !existsSync(join(here, 'node_modules', 'playwright-core'))) {
  console.log(`skipped: needs ${CHROMIUM} and tests/panel/node_modules (npm ci)`);
  process.exit(SKIP);
}
const { chromium } = await import('playwright-core');

const [terminalPath, vexcardPath, shotDir, readmeShot] = process.argv.slice(2);
assert.ok(terminalPath && vexcardPath && shotDir, 'usage: panel_e2e.mjs TERMINAL VEXCARD SHOT_DIR');
mkdirSync(shotDir, { recursive: true });
const tmp = mkdtempSync(join(tmpdir(), 'vexcard-panel-'));
mkdirSync(join(tmp, 'log'));  // the driver writes its log into an existing folder only

// vexcard-terminal on free ports; its addresses from its start-up lines.
function startTerminal() {
  const child = spawn(terminalPath, ['--listen', '127.0.0.1:0', '--panel', '127.0.0.1:0', '--quiet']);
  let err = '';
  const ready = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('vexcard-terminal did not start: ' + err)), WAIT);
    child.stderr.on('data', (d) => {
      err += d;
      const port = /rfc2217:\/\/[^;\s]+/.exec(err), panel = /http:\/\/\S+/.exec(err);
      if (port && panel) { clearTimeout(timer); resolve({ port: port[0], panel: panel[0] }); }
    });
    child.on('exit', (code) => reject(new Error(`vexcard-terminal ended (${code}): ${err}`)));
  });
  return { child, ready, stderr: () => err };
}

function vexcard(port, args) {
  return new Promise((resolve) => {
    execFile(vexcardPath, ['--port', '7', ...args], {
      env: { ...process.env, VEXCARD_COM7: port, VEXCARD_SETTINGS_DIR: join(tmp, 'settings'),
        VEXCARD_LOG_DIR: join(tmp, 'log') },
      timeout: 60000,
    }, (error, stdout, stderr) => resolve({ code: error ? error.code : 0, out: stdout + stderr }));
  });
}

const sale = ['bonus-sale', '--purse', '19', '--qty', '20', '--sum', '370'];
const terminal = startTerminal();
let browser;
try {
  const { port, panel } = await terminal.ready;
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage({ viewport: { width: 1500, height: 1050 } });
  page.setDefaultTimeout(WAIT);
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(panel);
  await page.locator('#link.on').waitFor();
  await page.locator('#cards tr[data-card="bonus"].in-reader').waitFor();

  // A bonus sale: its requests and replies appear as arrows with their figures.
  const sold = await vexcard(port, sale);
  assert.equal(sold.code, 0, sold.out);
  assert.match(sold.out, /SummaSk:\s+357\.05/);
  const line = page.locator('#line');
  await line.locator('.msg.request', { hasText: 'tsReadCard' }).first().waitFor();
  await line.locator('.msg.request', { hasText: 'price 18.50, quantity 20.00' }).waitFor();
  await line.locator('.msg.reply', { hasText: 'charged 357.05 (SummaSk)' }).waitFor();
  await line.locator('.msg.reply .badge.code', { hasText: '0 Команда выполнена' }).first().waitFor();
  await line.locator('.row.line-event', { hasText: 'cash desk: RTS, DTR on' }).first().waitFor();
  await line.locator('.row.line-event', { hasText: 'terminal: CTS off' }).first().waitFor();
  await page.locator('#ledger tr', { hasText: '357.05' }).waitFor();
  // Its bytes, by clicking the arrow.
  await line.locator('.msg.request', { hasText: 'tsSale' }).click();
  await page.locator('#detail-body', { hasText: '08 01 00 01 5C 00 00 00' }).waitFor();
  // The picture's times are the driver log's: the same clock, zone and form.
  const stamp = await line.locator('.row', { hasText: 'tsSale' }).first().locator('.time').getAttribute('title');
  const logged = /^\+ (\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3}) \[\] \[COM7\]:  Send: 36 30 (?:.. ){4}30 38/m
    .exec(readFileSync(join(tmp, 'log', 'VexCard.log'), 'latin1'));
  assert.ok(logged, 'the log holds the sale');
  const msOf = (t) => Date.parse('2000-' + t.slice(3, 5) + '-' + t.slice(0, 2) + 'T' + t.slice(6));
  assert.ok(Math.abs(msOf(stamp) - msOf(logged[1])) < 5000, `panel ${stamp}, log ${logged[1]}`);
  await page.screenshot({ path: join(shotDir, 'panel-sale.png') });
  if (readmeShot) copyFileSync(join(shotDir, 'panel-sale.png'), readmeShot);

  // A fault armed on the page: the next sale fails with its message; the line marks it.
  await page.selectOption('#fault-command', 'sale');
  await page.selectOption('#fault-kind', 'code');
  await page.selectOption('#fault-code', '0x8A');
  await page.click('#fault-arm');
  await page.locator('#faults li', { hasText: 'tsSale: reply code 138' }).waitFor();
  await line.locator('.row.action', { hasText: 'fault armed: tsSale: reply code 138' }).waitFor();
  const failed = await vexcard(port, sale);
  assert.equal(failed.code, 1, failed.out);
  assert.match(failed.out, /Ошибка ридера: На карте клиента не хватает средств/);
  await line.locator('.msg.reply.fault', { hasText: 'fault: reply code' }).waitFor();
  await page.locator('#faults li').waitFor({ state: 'detached' });
  await page.screenshot({ path: join(shotDir, 'panel-fault.png') });

  // Another card in the reader, with a new balance: card-info reads it.
  const fuel = page.locator('#cards tr[data-card="fuel"]');
  await fuel.locator('button.insert').click();
  await page.locator('#cards tr[data-card="fuel"].in-reader').waitFor();
  await fuel.locator('input[name="balance"]').fill('1234.56');
  await fuel.locator('button.save').click();
  await line.locator('.row.action', { hasText: 'card fuel: balance 1234.56' }).waitFor();
  // The card is read at the second attempt: the first is refused with "N".
  await page.selectOption('#fault-command', 'read-card');
  await page.selectOption('#fault-kind', 'refuse');
  await page.click('#fault-arm');
  await page.locator('#faults li', { hasText: 'tsReadCard: refusal' }).waitFor();
  // ... and the second one's reply spoiled by its checksum (the driver's shortened wait).
  await page.selectOption('#fault-kind', 'bad-checksum');
  await page.click('#fault-arm');
  await page.locator('#faults li', { hasText: 'tsReadCard: bad checksum' }).waitFor();
  const info = await vexcard(port, ['--test-timing', 'card-info']);
  assert.equal(info.code, 0, info.out);
  assert.match(info.out, /Card digits:\s+770100/);
  assert.match(info.out, /Available:\s+1234\.56/);
  await line.locator('.msg.reply', { hasText: 'balance 1234.56, card 77010000000000067890' }).last().waitFor();
  await line.locator('.msg.reply.fault .badge.problem', { hasText: /^checksum .., expected ..$/ }).waitFor();
  await page.screenshot({ path: join(shotDir, 'panel-card.png') });

  // The driver's log of these runs in the viewer: by the file chooser, then dropped.
  const logFile = join(tmp, 'log', 'VexCard.log');
  assert.ok(existsSync(logFile), 'the driver wrote no log');
  await page.click('#tab-log');
  await page.setInputFiles('#log-file', logFile);
  const viewer = page.locator('#log-line');
  await viewer.locator('.msg.request', { hasText: 'tsSale: transaction' }).first().waitFor();
  await viewer.locator('.msg.reply', { hasText: 'charged 357.05' }).waitFor();
  await viewer.locator('.msg.reply', { hasText: 'На карте клиента не хватает средств' }).first().waitFor();
  assert.ok(await page.locator('#chart circle').count() >= 5, 'the chart shows the five exchanges');
  // The faults on one time line: the reply code 138 and the refusal "N".
  assert.equal(await page.locator('#fault-line .tick.refused').count(), 1, 'one refused reply');
  assert.equal(await page.locator('#fault-line .tick.refusal').count(), 1, 'one "N"');
  // The reply refused for its checksum is named so, not a time-out.
  assert.equal(await page.locator('#fault-line .tick.spoiled').count(), 1, 'one spoiled reply');
  await viewer.locator('.msg.reply .badge.problem', { hasText: 'bad checksum (logged as the time-out' }).waitFor();
  await page.evaluate(async (text) => {
    const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
    const dt = new DataTransfer();
    dt.items.add(new File([bytes], 'dropped.log'));
    document.getElementById('drop').dispatchEvent(new DragEvent('drop', { dataTransfer: dt, bubbles: true }));
  }, readFileSync(logFile).toString('base64'));
  await page.locator('#log-summary', { hasText: 'dropped.log' }).waitFor();
  await viewer.locator('.msg.reply', { hasText: 'charged 357.05' }).click();
  await page.locator('#log-detail', { hasText: 'Reply body' }).waitFor();
  await page.screenshot({ path: join(shotDir, 'panel-log.png') });

  // Below 900 px the side column goes under the picture: nothing overlaps or sticks out.
  await page.setViewportSize({ width: 800, height: 900 });
  for (const tab of ['#tab-live', '#tab-log']) {
    await page.click(tab);
    const faults = await page.evaluate(() => {
      const out = [];
      if (document.documentElement.scrollWidth > innerWidth) out.push('the page scrolls sideways');
      for (const e of document.querySelectorAll('.view.active :is(.row .time, .msg .text, .msg .label, .box, .sequence)')) {
        if (e.scrollWidth > e.clientWidth + 1) out.push(`${e.className} is ${e.scrollWidth} px in ${e.clientWidth}`);
      }
      const [desk, term] = [...document.querySelectorAll('.view.active .lane-name')].map((n) => {
        const r = document.createRange();
        r.selectNodeContents(n);
        return r.getBoundingClientRect();
      });
      if (desk.right > term.left) out.push('the lane names overlap');
      return out;
    });
    assert.deepEqual(faults, [], tab);
  }
  await page.screenshot({ path: join(shotDir, 'panel-800.png'), fullPage: true });

  // A second panel on the same port fails, naming the port and the reason.
  const panelPort = new URL(panel).port;
  const second = await new Promise((resolve) => execFile(terminalPath,
    ['--listen', '127.0.0.1:0', '--panel', panelPort, '--quiet'], { timeout: WAIT },
    (error, stdout, stderr) => resolve({ code: error ? error.code : 0, err: stderr })));
  assert.equal(second.code, 1, second.err);
  assert.match(second.err, new RegExp(`port ${panelPort} is in use`));

  // Another site's page may not steer the terminal.
  const foreign = await fetch(panel + 'api/faults/clear', {
    method: 'POST', headers: { Origin: 'http://example.org', 'Content-Type': 'application/json' }, body: '{}',
  });
  assert.equal(foreign.status, 403);
  assert.deepEqual(pageErrors, []);
  console.log('panel end-to-end: passed; screenshots in ' + shotDir);
} finally {
  if (browser) await browser.close();
  terminal.child.kill('SIGINT');
  const exitCode = await new Promise((resolve) => {
    if (terminal.child.exitCode !== null) resolve(terminal.child.exitCode);
    else terminal.child.on('exit', (code) => resolve(code));
  });
  rmSync(tmp, { recursive: true, force: true });
  // A clean stop (under the sanitizers: no leak, no race reported).
  if (exitCode !== 0) {
    console.error(`vexcard-terminal ended with ${exitCode}:\n${terminal.stderr()}`);
    process.exitCode = 1;
  }
}
