// The live page: figures polled from /api/status, the controls posted to
// /api/zoom, /api/focus and /api/size, the picture from /stream.mjpg.
'use strict';

const $ = (id) => document.getElementById(id);
const zoom = $('zoom');
let described = false;   // the slider has the range the driver publishes
let zoomSent = null;     // the last zoom posted
let zoomTimer = null;    // a post waiting while the slider moves
let sizeChanging = false;

function show(message, bad) {
  $('message').textContent = message;
  $('message').className = bad ? 'message bad' : 'message';
}

// A POST with a form value; the server's reason as the error when it refuses.
async function post(path, value) {
  const options = { method: 'POST' };
  if (value !== undefined) options.body = new URLSearchParams({ value: String(value) });
  const response = await fetch(path, options);
  const text = await response.text();
  if (!response.ok) throw new Error(text.trim() || response.statusText);
  return text;
}

// While the slider moves, the zoom goes out at most every 100 ms; the driver
// moves the camera once, half a second after the last one.
function sendZoom() {
  zoomTimer = null;
  const value = Number(zoom.value);
  if (value === zoomSent) return;
  zoomSent = value;
  post('/api/zoom', value).catch((error) => show(error.message, true));
}

zoom.addEventListener('input', () => {
  $('zoom-requested').textContent = zoom.value;
  if (zoomTimer === null) zoomTimer = setTimeout(sendZoom, 100);
});
zoom.addEventListener('change', () => {
  clearTimeout(zoomTimer);
  sendZoom();
});

$('focus').addEventListener('click', async () => {
  $('focus').disabled = true;
  show('focusing...');
  try {
    await post('/api/focus');
    show('focused');
  } catch (error) {
    show(error.message, true);
  }
  $('focus').disabled = false;
});

for (const radio of document.querySelectorAll('input[name=size]')) {
  radio.addEventListener('change', async () => {
    sizeChanging = true;
    try {
      await post('/api/size', radio.value);
      const [width, height] = radio.value.split('x');
      $('live').width = Number(width);
      $('live').height = Number(height);
    } catch (error) {
      show(error.message, true);
    }
    sizeChanging = false;
  });
}

// The picture stream ends when the server stops or refuses a viewer: try again.
$('live').addEventListener('error', () => {
  setState('no picture', 'bad');
  setTimeout(() => { $('live').src = '/stream.mjpg?' + Date.now(); }, 2000);
});

function setState(text, kind) {
  $('state').textContent = text;
  $('state').className = 'state ' + (kind || '');
}

// The slider's range, step and default as the driver publishes them.
function describeZoom(z) {
  zoom.min = z.min;
  zoom.max = z.max;
  zoom.step = z.step;
  const mark = document.createElement('option');
  mark.value = z.default;
  $('zoom-default').replaceChildren(mark);
  zoom.value = z.camera ?? z.default;
  zoom.disabled = !z.settable;
  $('zoom-requested').textContent = zoom.value;
  described = true;
}

function render(s) {
  if (!described) describeZoom(s.zoom);
  $('frame').textContent = s.frame;
  $('fps').textContent = s.fps.toFixed(1);
  $('dropped').textContent = s.dropped;
  $('damaged').textContent = s.damaged;
  $('errors').textContent = s.errors;
  $('errors').title = `${s.failed_reads} failed reads, ` +
      (s.refused === null ? 'refused pictures unknown' : `${s.refused} refused pictures`) +
      (s.refusal ? `: ${s.refusal}` : '');
  $('zoom-camera').textContent = s.zoom.camera ?? 'unknown';
  $('focus-state').textContent = s.focus.state;
  $('viewers').textContent = s.viewers;
  if (!sizeChanging) {
    const radio = document.querySelector(`input[name=size][value="${s.size}"]`);
    if (radio) radio.checked = true;
  }
  if (s.error) setState(s.error, 'bad');
  else setState(s.streaming ? 'live' : 'idle', s.streaming ? 'live' : '');
}

async function refresh() {
  try {
    const response = await fetch('/api/status', { cache: 'no-store' });
    render(await response.json());
  } catch (error) {
    setState('the server does not answer', 'bad');
  }
}

refresh();
setInterval(refresh, 500);
