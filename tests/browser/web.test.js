// The web interface in headless Chromium, served by lighttpd on loopback with
// a simulated world (started by scripts/test_browser.sh).
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { chromium } = require('playwright-core');

const base = process.env.TARVO_WEB_URL;
const world = process.env.TARVO_SIM_WORLD;
const simTool = process.env.TARVO_SIM_TOOL;
const artifacts = process.env.TARVO_ARTIFACTS || path.join(__dirname, '..', '..', 'artifacts');
if (!base || !world || !simTool)
  throw new Error('run through scripts/test_browser.sh (TARVO_WEB_URL, TARVO_SIM_WORLD, TARVO_SIM_TOOL)');

const pidFile = path.join(world, 'var/tarvo_update/tarvo_update.pid');
const historyFile = path.join(world, 'opt/tarvo_update/state/history');
const updater = path.join(path.dirname(simTool || ''), 'tarvo_update');

// The records in the update history.
function records() {
  if (!fs.existsSync(historyFile))
    return [];
  return fs.readFileSync(historyFile, 'utf8').split('\n').filter((l) => l !== '')
    .map((l) => JSON.parse(l));
}

// The address of the last data record of a sample image: where the flashing
// writes last.
function lastBlock(image) {
  const lines = fs.readFileSync(path.join(world, 'opt/tarvo_update/fw', image), 'utf8')
    .split(/\r?\n/).filter((l) => l.length > 9 && l.substring(7, 9) === '00');
  return '0x' + lines[lines.length - 1].substring(3, 7);
}
const settingsFile = path.join(world, 'opt/tarvo_update/etc/settings');
const hostsAllowed = path.join(world, 'opt/tarvo_update/etc/hosts_allowed');
// Other names that lead to the server: one the administrator allows, one of
// another site that resolves to it (DNS rebinding).
const ALLOWED_NAME = 'controller.example';
const REBOUND_NAME = 'rebound.example';

// Sets the boards of the served world in place; the pages read it per request.
function boards(port1, port2) {
  execFileSync(simTool, ['init', world, '--port1', port1, '--port2', port2]);
}

let context;
let userDir;

test.before(async () => {
  userDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvo-chromium-'));
  context = await chromium.launchPersistentContext(userDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync',
           `--host-resolver-rules=MAP ${ALLOWED_NAME} 127.0.0.1, MAP ${REBOUND_NAME} 127.0.0.1`],
  });
});

test.after(async () => {
  if (context)
    await context.close();
  fs.rmSync(userDir, { recursive: true, force: true });
});

async function openIndex() {
  const page = await context.newPage();
  await page.goto(`${base}/index.cgi`);
  return page;
}

test('index page offers a selector and an update button only for TARVO boards', async () => {
  boards('tarvo', 'other');
  let page = await openIndex();
  assert.equal(await page.title(), 'TARVO FW update');
  assert.equal(await page.locator('select[name="firmware1"]').count(), 1);
  assert.equal(await page.locator('select[name="firmware2"]').count(), 0);
  assert.equal(await page.locator('input[value="Update PORT1"]').count(), 1);
  assert.equal(await page.locator('input[value="Update PORT2"]').count(), 0);
  assert.equal(await page.locator('input[value="Apply"]').count(), 1);
  await page.close();

  boards('none', 'tarvo');
  page = await openIndex();
  assert.equal(await page.locator('select').count(), 1);
  assert.equal(await page.locator('select[name="firmware2"]').count(), 1);
  assert.equal(await page.locator('input[value="Update PORT2"]').count(), 1);
  await page.close();

  boards('none', 'none');
  page = await openIndex();
  assert.equal(await page.locator('select').count(), 0);
  assert.ok(await page.getByText('no TARVO board in PORT1').isVisible());
  assert.ok(await page.getByText('no TARVO board in PORT2').isVisible());
  assert.deepEqual(await page.locator('input[type="submit"]').evaluateAll(
    (inputs) => inputs.map((i) => i.value)), ['Apply']);
  await page.close();
});

test('Apply saves both choices and the index page shows them selected', async () => {
  boards('tarvo', 'tarvo');
  const page = await openIndex();
  await page.selectOption('select[name="firmware1"]', 'V1a2a3c4b5b6b7o.hex');
  await page.selectOption('select[name="firmware2"]', 'V1a2a3c4c5b6b7o.hex');
  await Promise.all([page.waitForURL('**/set.cgi'), page.click('input[value="Apply"]')]);
  const box = page.locator('td[bgcolor="#008000"]');
  assert.equal(await box.innerText(), 'Configuration');
  assert.ok(await page.getByText(
    'Remembered V1a2a3c4b5b6b7o.hex for PORT1 and V1a2a3c4c5b6b7o.hex for PORT2.').isVisible());
  assert.equal(fs.readFileSync(settingsFile, 'utf8'),
               'MOD_TARVOUPDATE_FIRMWARE1=V1a2a3c4b5b6b7o.hex\n' +
               'MOD_TARVOUPDATE_FIRMWARE2=V1a2a3c4c5b6b7o.hex\n');
  // The script's "Back" button leads to the index page.
  await Promise.all([page.waitForURL('**/index.cgi'), page.click('input[value="Back"]')]);
  assert.equal(await page.locator('select[name="firmware1"]').inputValue(), 'V1a2a3c4b5b6b7o.hex');
  assert.equal(await page.locator('select[name="firmware2"]').inputValue(), 'V1a2a3c4c5b6b7o.hex');
  await page.close();
});

test('Apply is taken through the server\'s address and allowed names only', async () => {
  boards('tarvo', 'none');
  fs.writeFileSync(hostsAllowed, `${ALLOWED_NAME}\n`);
  const port = new URL(base).port;
  // Applies the choice through the page served under that name; returns the
  // title and text of the box that answers.
  async function applyThrough(name, image) {
    const page = await context.newPage();
    await page.goto(`http://${name}:${port}/index.cgi`);
    await page.selectOption('select[name="firmware1"]', image);
    const [response] = await Promise.all([page.waitForResponse('**/set.cgi'),
                                          page.waitForURL('**/set.cgi'),
                                          page.click('input[value="Apply"]')]);
    const box = page.locator('table.window');
    const answer = { title: await box.locator('td[bgcolor]').first().innerText(),
                     text: await box.innerText(), status: response.status() };
    await page.close();
    return answer;
  }
  const saved = (image) => `MOD_TARVOUPDATE_FIRMWARE1=${image}\nMOD_TARVOUPDATE_FIRMWARE2=\n`;

  assert.equal((await applyThrough('127.0.0.1', 'V1a2a3b4b5b6b7o.hex')).title, 'Configuration');
  assert.equal(fs.readFileSync(settingsFile, 'utf8'), saved('V1a2a3b4b5b6b7o.hex'));

  const refused = await applyThrough(REBOUND_NAME, 'V1a2a3c4b5b6b7o.hex');
  assert.equal(refused.title, 'Request refused');
  assert.equal(refused.status, 403);
  assert.match(refused.text, new RegExp(`addressed to ${REBOUND_NAME}:${port}\\. Nothing was changed\\. ` +
    `Open this page under the controller's address \\(http://127\\.0\\.0\\.1:${port}/\\), or list ` +
    `${REBOUND_NAME} in /opt/tarvo_update/etc/hosts_allowed\\.`));
  assert.equal(fs.readFileSync(settingsFile, 'utf8'), saved('V1a2a3b4b5b6b7o.hex'));

  assert.equal((await applyThrough(ALLOWED_NAME, 'V1a2a3c4c5b6b7o.hex')).title, 'Configuration');
  assert.equal(fs.readFileSync(settingsFile, 'utf8'), saved('V1a2a3c4c5b6b7o.hex'));
  fs.rmSync(hostsAllowed);
});

test('Update PORT1 streams the progress rows into the window while the updater runs', async () => {
  boards('tarvo', 'tarvo');
  const page = await openIndex();
  await page.selectOption('select[name="firmware1"]', 'V1a2a3c4b5b6b7o.hex');
  await Promise.all([page.waitForURL('**/set.cgi', { waitUntil: 'commit' }),
                     page.click('input[value="Update PORT1"]', { noWaitAfter: true })]);
  await page.getByText('Flashing firmware').waitFor();
  await page.getByText('The update takes about 2 minutes. Do not power off the controller or ' +
                       'unplug the board until it has ended.').waitFor();
  const firstRow = page.getByText('Looking for TARVO on PORT1 ... found');
  await firstRow.waitFor({ timeout: 60000 });
  // The row is on screen while the updater still runs: its pid file is
  // there and the page has not got its closing OK row yet.
  assert.ok(fs.existsSync(pidFile), 'the updater should still be running');
  assert.equal(await page.locator('a[href="index.cgi"]').count(), 0);

  const ok = page.locator('a[href="index.cgi"]', { hasText: 'OK' });
  await ok.waitFor({ timeout: 180000 });
  assert.ok(!fs.existsSync(pidFile));
  const rows = await page.locator('td[width="400em"] td').evaluateAll(
    (cells) => cells.map((c) => c.innerText.trim()).filter((t) => t !== ''));
  assert.equal(rows[rows.length - 1], '\u00bb OK \u00ab');
  assert.equal(rows[rows.length - 2],
               'PORT1 now runs V1a2a3c4b5b6b7o.hex (version 0x01010000, configuration 1a2a3c4b5b6b7o).');
  assert.match(rows[rows.length - 4], /^Reading new TARVO FW version on PORT1 \.\.\. 0x[0-9A-F]{8}$/);
  assert.match(rows[rows.length - 3], /^Reading new TARVO config on PORT1 \.\.\. 1a2a3c4b5b6b7o \u2714$/);
  assert.equal(await page.locator('#result').getAttribute('bgcolor'), '#008000');
  const mark = page.locator('td[width="400em"] td', { hasText: 'Reading new TARVO config' })
    .locator('font[color="green"]');
  assert.equal(await mark.count(), 1);
  fs.mkdirSync(artifacts, { recursive: true });
  await page.screenshot({ path: path.join(artifacts, 'update-finished.png'), fullPage: true });

  // A reload re-sends the form: refused, with a link to the history, and no
  // second update.
  const updates = records().length;
  const [again] = await Promise.all([page.waitForResponse('**/set.cgi'), page.reload()]);
  assert.equal(again.status(), 409);
  assert.ok(await page.getByText('This form has started its update already').isVisible());
  assert.equal(await page.locator('a[href="index.cgi#history"]').count(), 1);
  assert.equal(records().length, updates);
  await page.screenshot({ path: path.join(artifacts, 'update-resent.png'), fullPage: true });
  await page.close();
});

test('a failed update ends in red with what to do, and the index page shows the board\'s state', async () => {
  boards('tarvo', 'tarvo');
  // PORT2 gets a last outcome of its own, from the command line.
  execFileSync(updater, ['2', 'V1a2a3c4c5b6b7o.hex'], { env: { ...process.env, TARVO_SIM_ROOT: world } });
  // The flashing fails at its last block, after all of its output.
  execFileSync(simTool, ['fault', world, '1', `corrupt-readback=${lastBlock('V1a2a3c4b5b6b7o.hex')}`]);
  let page = await openIndex();
  await page.selectOption('select[name="firmware1"]', 'V1a2a3c4b5b6b7o.hex');
  await Promise.all([page.waitForURL('**/set.cgi', { waitUntil: 'commit' }),
                     page.click('input[value="Update PORT1"]', { noWaitAfter: true })]);
  const result = page.locator('#result');
  await result.waitFor({ timeout: 180000 });
  assert.equal(await result.getAttribute('bgcolor'), '#800000');
  assert.match(await result.innerText(),
               /^PORT1, V1a2a3c4b5b6b7o\.hex: The update failed while the board was being written; the board may have no working firmware\. At the flashing: read-back differs from what was written\. Update this port again;.* Details are on the System Log page\.$/);
  // The window's title no longer looks like success.
  const title = page.locator('table.window td[bgcolor]').first();
  assert.equal(await title.getAttribute('bgcolor'), '#800000');
  assert.equal(await title.innerText(), 'Flashing firmware failed');
  fs.mkdirSync(artifacts, { recursive: true });
  await page.screenshot({ path: path.join(artifacts, 'update-failed.png'), fullPage: true });
  await page.close();

  execFileSync(simTool, ['clear', world, '1']);
  page = await openIndex();
  // The fourth cell of the port's row, beside its Update button.
  const state = (port) => page.locator(`select[name="firmware${port}"]`)
    .locator('xpath=ancestor::tr[1]/td[4]').innerText();
  assert.match(await state(1),
               /^no answer; interrupted update of V1a2a3c4b5b6b7o\.hex pending since \d{4}-\d\d-\d\dT[\d:]+Z; last update \d{4}-\d\d-\d\d \d\d:\d\d UTC: V1a2a3c4b5b6b7o\.hex, The update failed while the board was being written;/);
  assert.match(await state(2),
               /^runs V1a2a3c4c5b6b7o\.hex \(version 0x01020000, configuration 1a2a3c4c5b6b7o\); last update \d{4}-\d\d-\d\d \d\d:\d\d UTC: V1a2a3c4c5b6b7o\.hex, The board runs the new firmware\.$/);
  assert.ok(await page.locator('#history').isVisible() || await page.getByText('Update history (newest first)').isVisible());
  await page.screenshot({ path: path.join(artifacts, 'index-state.png'), fullPage: true });
  await page.close();
});

test('slog.cgi still shows the failed update after five loads of the index page', async () => {
  // The board of PORT1 does not answer since the failed update: each load
  // logs one line for it, none for the board that answers.
  for (let i = 0; i < 5; i++)
    await (await openIndex()).close();
  const page = await context.newPage();
  await page.goto(`${base}/slog.cgi`);
  const log = await page.locator('pre').innerText();
  assert.match(log, /tarvo_update\[\d+\]: main: Device flashing failed with code -14/);
  assert.equal((log.match(/tarvo_info\[/g) || []).length, 6);
  await page.close();
});
