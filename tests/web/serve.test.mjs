// dscam serve's page in a real browser: Debian's chromium, driven by
// playwright-core, against the dscam program serving the emulated camera.
//
//   DSCAM_TOOL       the dscam program (default build/asan/tools/dscam/dscam)
//   DSCAM_ARTEFACTS  where the screenshot goes (default build/asan/web)
//   CHROMIUM         the browser (default /usr/bin/chromium)
//
// The picture is measured in the page: drawn into a canvas, its pixels read.
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const tool = process.env.DSCAM_TOOL ?? join(root, 'build/asan/tools/dscam/dscam');
const artefacts = process.env.DSCAM_ARTEFACTS ?? join(root, 'build/asan/web');

let server; // the dscam process
let url;
let browser;
let page;

// Starts dscam serve on a free port; resolves with its address once it says
// where it serves.
function startServer() {
  server = spawn(tool, ['serve', '--listen', '127.0.0.1:0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((done, fail) => {
    let out = '';
    server.stdout.on('data', (chunk) => {
      out += chunk;
      const match = out.match(/serving (http:\/\/\S+\/)/);
      if (match) done(match[1]);
    });
    server.on('exit', (code) => fail(new Error(`dscam serve ended with ${code} before serving`)));
  });
}

// The live picture's pixels and the figures taken from them: how far down
// from the top the colour bars reach (the narrower the field of view, the
// less of them shows), the mean squared gradient (sharpness: a blur spreads
// each edge's step over several small ones), and a digest.
async function measure() {
  return page.evaluate(() => {
    const img = document.getElementById('live');
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    context.drawImage(img, 0, 0);
    const { data, width, height } = context.getImageData(0, 0, canvas.width, canvas.height);
    const at = (x, y) => (y * width + x) * 4;
    const distance = (a, b) =>
      Math.abs(data[a] - data[b]) + Math.abs(data[a + 1] - data[b + 1]) + Math.abs(data[a + 2] - data[b + 2]);
    // The bars' depth in a few columns right of the picture number; the median
    // is safe from the disc that moves across the scene.
    const depths = [0.4, 0.5, 0.6, 0.7, 0.8].map((fraction) => {
      const x = Math.floor(width * fraction);
      let y = 1;
      while (y < height && distance(at(x, y), at(x, 0)) < 90) y++;
      return y;
    }).sort((a, b) => a - b);
    let gradient = 0;
    for (let y = 0; y < height; y++)
      for (let x = 1; x < width; x++) gradient += distance(at(x, y), at(x - 1, y)) ** 2;
    let digest = 0;
    for (let i = 0; i < data.length; i += 97) digest = (digest * 31 + data[i]) >>> 0;
    return { width, height, bars: depths[2], sharpness: gradient / (width * height), digest };
  });
}

async function figure(id) {
  return page.locator(`#${id}`).textContent();
}

// The mean of a few measures, a picture interval apart.
async function meanOf(key, count = 4) {
  let sum = 0;
  for (let i = 0; i < count; i++) {
    sum += (await measure())[key];
    await page.waitForTimeout(120);
  }
  return sum / count;
}

before(async () => {
  mkdirSync(artefacts, { recursive: true });
  url = await startServer();
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-dev-shm-usage'],
  });
  page = await browser.newPage({ viewport: { width: 760, height: 460 } });
  await page.goto(url);
});

after(async () => {
  await browser?.close();
  if (server && server.exitCode === null) server.kill('SIGKILL');
});

test('the page shows a 320x240 picture that changes over time', async () => {
  await page.waitForFunction(() => document.getElementById('live').naturalWidth > 0);
  const first = await measure();
  assert.equal(first.width, 320);
  assert.equal(first.height, 240);
  await page.waitForFunction(() => Number(document.getElementById('frame').textContent) > 10);
  const later = await measure();
  assert.notEqual(later.digest, first.digest);
  assert.equal(await figure('state'), 'live');
});

test('the zoom slider at 80 narrows the field of view and shows in the figures', async (t) => {
  assert.equal(await page.locator('#zoom').getAttribute('max'), '100');
  const wide = await meanOf('bars');
  await page.locator('#zoom').fill('80');
  await page.waitForFunction(() => document.getElementById('zoom-camera').textContent === '80',
    null, { timeout: 10000 });
  await page.waitForTimeout(300);
  const narrow = await meanOf('bars');
  t.diagnostic(`colour bars ${wide} rows deep at zoom 50, ${narrow} at 80`);
  assert.ok(narrow < wide * 0.7, `colour bars ${wide} rows deep at zoom 50, ${narrow} at 80`);
});

test('the auto focus button sharpens the numbered scene', async (t) => {
  const soft = await meanOf('sharpness');
  await page.locator('#focus').click();
  await page.waitForFunction(() => document.getElementById('focus-state').textContent === 'focused',
    null, { timeout: 15000 });
  await page.waitForTimeout(300);
  const sharp = await meanOf('sharpness');
  t.diagnostic(`mean squared gradient ${soft} before the focus, ${sharp} after`);
  assert.ok(sharp > soft * 2, `mean squared gradient ${soft} before the focus, ${sharp} after`);
  await page.screenshot({ path: join(artefacts, 'serve-page.png') });
});

test('Ctrl-C ends dscam serve within 2 s while the page watches', async () => {
  assert.equal(await figure('viewers'), '1');
  const start = Date.now();
  const ended = new Promise((done) => server.on('exit', (code) => done(code)));
  server.kill('SIGINT');
  const code = await ended;
  const took = Date.now() - start;
  assert.equal(code, 130);
  assert.ok(took < 2000, `it took ${took} ms`);
});
