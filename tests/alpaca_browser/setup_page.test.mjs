// qm-alpaca's setup page in a real browser: Debian's Chromium, headless, driven
// by playwright-core. A person sets the pixel size on the page; an ASCOM client
// reads it back through PixelSizeX/PixelSizeY; it survives a restart.
//   QM_ALPACA_PROGRAM=/path/to/qm-alpaca node --test setup_page.test.mjs
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const program = process.env.QM_ALPACA_PROGRAM;
const chromiumPath = process.env.QM_CHROMIUM ?? '/usr/bin/chromium';
const setupPath = '/setup/v1/camera/0/setup';
const notSet = 0x402;

const work = mkdtempSync(path.join(tmpdir(), 'qm-alpaca-browser-'));
const configFile = path.join(work, 'qm-alpaca.json');
let server = null;
let baseUrl = '';
let context = null;
let transaction = 0;

// Starts qm-alpaca on a free loopback port with this test's own configuration
// and resolves with its address once it says it listens.
function startServer() {
  return new Promise((resolve, reject) => {
    const child = spawn(program, ['--port', '0', '--bind', '127.0.0.1', '--no-discovery',
                                  '--config', configFile],
                        { env: { ...process.env, QM_SIM_TIME_SCALE: '0' },
                          stdio: ['ignore', 'pipe', 'pipe'] });
    let output = '';
    const timer = setTimeout(() => reject(new Error(`qm-alpaca did not start: ${output}`)), 20000);
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const match = /listening on 127\.0\.0\.1:(\d+)/.exec(output);
      if (match) {
        clearTimeout(timer);
        server = child;
        resolve(`http://127.0.0.1:${match[1]}`);
      }
    });
    child.stderr.on('data', (chunk) => { output += chunk; });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`qm-alpaca ended (${code}) before listening: ${output}`));
    });
  });
}

async function stopServer() {
  if (!server) return;
  const child = server;
  server = null;
  const ended = new Promise((resolve) => child.once('exit', resolve));
  child.kill('SIGTERM');
  const killer = setTimeout(() => child.kill('SIGKILL'), 10000);
  await ended;
  clearTimeout(killer);
}

async function alpaca(method, member, fields = {}) {
  transaction += 1;
  const form = new URLSearchParams({ ...fields, ClientID: '7', ClientTransactionID: `${transaction}` });
  const url = `${baseUrl}/api/v1/camera/0/${member}`;
  const response = method === 'PUT'
    ? await fetch(url, { method, body: form })
    : await fetch(`${url}?${form}`);
  assert.equal(response.status, 200, `${method} ${member}`);
  return response.json();
}

async function pixelSizes() {
  const x = await alpaca('GET', 'pixelsizex');
  const y = await alpaca('GET', 'pixelsizey');
  return [x, y];
}

before(async () => {
  assert.ok(program, 'QM_ALPACA_PROGRAM names the qm-alpaca program');
  baseUrl = await startServer();
  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: chromiumPath,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (context) await context.close();
  await stopServer();
  rmSync(work, { recursive: true, force: true });
});

// Types `text` into the pixel size field and saves; returns the page after it.
async function savePixelSize(text) {
  const page = await context.newPage();
  await page.goto(`${baseUrl}${setupPath}`);
  await page.fill('#pixelsize', text);
  await Promise.all([page.waitForLoadState('load'), page.click('#save')]);
  await page.waitForLoadState('load');
  return page;
}

test('before it is set, the pixel size answers value not set', async () => {
  const connect = await alpaca('PUT', 'connected', { Connected: 'True' });
  assert.equal(connect.ErrorNumber, 0, connect.ErrorMessage);
  for (const answer of await pixelSizes()) {
    assert.equal(answer.ErrorNumber, notSet, JSON.stringify(answer));
  }
  const page = await context.newPage();
  await page.goto(`${baseUrl}/setup`);
  assert.equal(await page.inputValue('#pixelsize'), '');
  await page.close();
});

// Each entry: what a person types, whether the page keeps it, and the size
// the API answers afterwards (the last one kept).
const entries = [
  { typed: '3.75', saved: true, expected: 3.75 },
  { typed: 'abc', saved: false, expected: 3.75 },
  { typed: '0', saved: false, expected: 3.75 },
  { typed: '-2', saved: false, expected: 3.75 },
  { typed: '150', saved: false, expected: 3.75 },
  { typed: '', saved: false, expected: 3.75 },
  { typed: '5.2', saved: true, expected: 5.2 },
];
for (const entry of entries) {
  test(`typing '${entry.typed}' on the setup page ${entry.saved ? 'sets' : 'leaves'} the pixel size`,
       async () => {
    const page = await savePixelSize(entry.typed);
    const body = await page.textContent('body');
    if (entry.saved) {
      assert.match(body, /Pixel size saved/);
      assert.equal(Number(await page.inputValue('#pixelsize')), entry.expected);
    } else {
      assert.match(body, /Not saved/);
    }
    await page.close();
    for (const answer of await pixelSizes()) {
      assert.equal(answer.ErrorNumber, 0, JSON.stringify(answer));
      assert.equal(answer.Value, entry.expected);
    }
  });
}

test('the saved pixel size outlives a restart of the server', async () => {
  await stopServer();
  baseUrl = await startServer();
  await alpaca('PUT', 'connected', { Connected: 'True' });
  for (const answer of await pixelSizes()) assert.equal(answer.Value, 5.2);
  const page = await context.newPage();
  await page.goto(`${baseUrl}${setupPath}`);
  assert.equal(Number(await page.inputValue('#pixelsize')), 5.2);
  await page.close();
});
