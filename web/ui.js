// The page: opening a sound, encoding it in the worker, and showing what
// came out (the transport is in transport.js).

"use strict";

const $ = (id) => document.getElementById(id);

let sound = null;   // the open file: { name, container, rate, channelCount, sampleFormat, channels, exact }
let result = null;  // the worker's last result
let worker = null;

const player = createPlayer({ onEnded: () => transport.update() });
const transport = createTransport(player, () => result);

function showError(text) {
    $("error").textContent = text;
    $("error").hidden = !text;
}

function setBusy(busy) {
    document.body.dataset.state = busy ? "encoding" : result ? "encoded" : sound ? "loaded" : "empty";
    $("encode").disabled = busy || !sound;
}

const plural = (n, one, many) => `${n} ${n === 1 ? one : many}`;

// --- Opening a file

async function openFile(file) {
    showError("");
    try {
        const buffer = await file.arrayBuffer();
        const info = readSoundFile(buffer);
        let note = "";
        if (!info.channels) {
            const probe = info.container ? info : probeRate(new Uint8Array(buffer));
            let rate = probe.rate;
            if (!rate) {
                rate = 48000;
                note = "The file's rate could not be read: it was decoded at 48000 Hz. ";
            }
            rate = Math.min(BROWSER_RATE_MAX, Math.max(BROWSER_RATE_MIN, rate));
            info.channels = await decodeByBrowser(buffer, rate).catch(() => {
                throw new Error(`${file.name} is not a sound file that this browser can decode.`);
            });
            info.container = probe.container || "a compressed file";
            info.rate = rate;
            info.channelCount = info.channels.length;
            info.sampleFormat = info.sampleFormat || "decoded by the browser";
            note += "The browser decoded this file, so the streams may differ from nbzhq's for it.";
        }
        if (info.channels[0].length === 0) throw new Error(`${file.name} holds no samples.`);
        sound = { ...info, name: file.name, exact: !note };
        const seconds = (info.channels[0].length / info.rate).toFixed(2);
        $("file-info").textContent =
            `${file.name}: ${info.container}, ${info.rate} Hz, ${plural(info.channelCount, "channel", "channels")}, ` +
            `${info.sampleFormat}, ${seconds} s`;
        $("file-note").textContent = note;
        $("file-note").hidden = !note;
        $("rate").options[0].textContent = `the file's own (${info.rate} Hz)`;
        startEncoding();
    } catch (error) {
        showError(error.message);
    }
}

$("file").addEventListener("change", () => {
    if ($("file").files.length) openFile($("file").files[0]);
});

const drop = $("drop");
for (const type of ["dragenter", "dragover"])
    drop.addEventListener(type, (event) => {
        event.preventDefault();
        drop.classList.add("over");
    });
for (const type of ["dragleave", "drop"]) drop.addEventListener(type, () => drop.classList.remove("over"));
drop.addEventListener("drop", (event) => {
    event.preventDefault();
    if (event.dataTransfer.files.length) openFile(event.dataTransfer.files[0]);
});
// A file dropped anywhere else must not replace the page.
window.addEventListener("dragover", (event) => event.preventDefault());
window.addEventListener("drop", (event) => event.preventDefault());

// --- Encoding

$("rate").addEventListener("change", () => {
    $("rate-other-label").hidden = $("rate").value !== "other";
});

// The settings, or an Error saying what is wrong with them.
function settings() {
    const choice = $("rate").value;
    const rateTo = choice === "" ? sound.rate : Number(choice === "other" ? $("rate-other").value : choice);
    const width = Number($("width").value);
    const gainDb = Number($("gain").value || 0);
    if (!Number.isInteger(rateTo) || rateTo < 1 || rateTo > 2147483647)
        return new Error("The rate must be a whole number of Hz from 1 to 2147483647.");
    if (sound.rate > rateTo * 1024) return new Error("The rate must be at least the file's rate divided by 1024.");
    if (!Number.isInteger(width) || width < 1 || width > 64)
        return new Error("The search width must be a whole number from 1 to 64.");
    if (!Number.isFinite(gainDb)) return new Error("The gain must be a number of dB.");
    return { rateTo, width, gainDb };
}

function makeWorker() {
    if (worker) worker.terminate();
    const url = URL.createObjectURL(new Blob([NBZ_WORKER_SOURCE], { type: "text/javascript" }));
    worker = new Worker(url);
    URL.revokeObjectURL(url);
    worker.onmessage = ({ data }) => {
        if (data.type === "progress") {
            $("progress").value = data.fraction;
            $("status").textContent = `${data.text}… ${Math.floor(data.fraction * 100)}%`;
        } else if (data.type === "done") {
            showResult(data.result);
        } else {
            setBusy(false);
            $("status").textContent = "";
            showError(`The encoding failed: ${data.message}`);
        }
    };
    worker.onerror = (event) => {
        event.preventDefault();
        setBusy(false);
        showError(`The encoder could not start: ${event.message || "unknown error"}`);
    };
}

function startEncoding() {
    if (!sound) return;
    const chosen = settings();
    if (chosen instanceof Error) {
        showError(chosen.message);
        return;
    }
    showError("");
    makeWorker();  // a new encoding replaces one that runs
    player.pause();
    transport.update();
    setBusy(true);
    $("progress").value = 0;
    const { rateTo, width, gainDb } = chosen;
    worker.postMessage({ channels: sound.channels, rate: sound.rate, rateTo, width, gainDb, columns: 480 });
    $("command-line").textContent = commandLine(chosen);
    $("command").hidden = !sound.exact;
}

$("encode-form").addEventListener("submit", (event) => {
    event.preventDefault();
    startEncoding();
});

// The nbzhq command that writes the searched stream.
function commandLine({ rateTo, width, gainDb }) {
    const quote = (s) => (/^[\w.,+-]+$/.test(s) ? s : `'${s.replace(/'/g, "'\\''")}'`);
    const parts = ["nbzhq"];
    if (rateTo !== sound.rate) parts.push("-r", String(rateTo));
    if (width !== 64) parts.push("-w", String(width));
    parts.push(quote(sound.name), quote(`${baseName(sound.name)}-hq.nbz`));
    if (gainDb !== 0) parts.push(String(gainDb));
    return parts.join(" ");
}

// --- Results

const STREAM_NAMES = { exact: "nbz, exact", search: "nbzhq, search" };

function showResult(r) {
    result = r;
    setBusy(false);
    $("status").textContent = `Done: ${plural(r.pcm.length, "sample", "samples")} at ${r.rate} Hz, width ${r.width}.`;
    $("version").textContent = r.version;
    $("results").hidden = false;
    const [exact, search] = r.streams;
    player.load({ original: r.pcm, exact: exact.decoded, search: search.decoded }, r.rate);
    transport.loaded();
    draw();
    fillReport(r);
}

function draw() {
    if (!result) return;
    const [exact, search] = result.streams;
    drawWaveform($("waveform"), result.pcm, [
        { positions: exact.overflowing, colour: cssColour("--exact") },
        { positions: search.overflowing, colour: cssColour("--search") },
    ]);
    drawSpectrogram($("spectrum-original"), result.spectrogram);
    drawSpectrogram($("spectrum-exact"), exact.spectrogram);
    drawSpectrogram($("spectrum-search"), search.spectrogram);
    $("frequency-range").textContent = `Frequency from 0 to ${(result.rate / 2000).toFixed(2)} kHz`;
    const counts = result.streams.map(
        (s) => `${STREAM_NAMES[s.name]}: ${s.overflowing.length ? s.overflowing.length : "none"}`,
    );
    $("overflow-summary").textContent = `(${counts.join("; ")}).`;
    transport.update();
}

function fillReport(r) {
    const body = $("report").tBodies[0];
    body.replaceChildren();
    const base = baseName(sound.name);
    for (const s of r.streams) {
        const { level, overflow, snrDb } = s.report;
        const files = {
            nbz: s.name === "search" ? `${base}-hq.nbz` : `${base}.nbz`,
            wav: s.name === "search" ? `${base}-hq-decoded.wav` : `${base}-decoded.wav`,
        };
        const row = body.insertRow();
        const cell = (text, className = "number") => {
            const c = row.insertCell();
            c.textContent = text;
            c.className = className;
            return c;
        };
        const heading = document.createElement("th");
        heading.scope = "row";
        heading.textContent = STREAM_NAMES[s.name];
        row.append(heading);
        cell(`${(s.stream.length / 1024).toFixed(1)} KiB`);
        cell(String(level));
        cell(overflow ? `by ${overflow}` : "none").classList.toggle("bad", overflow > 0);
        cell(String(s.overflowing.length)).classList.toggle("bad", s.overflowing.length > 0);
        cell(Number.isFinite(snrDb) ? `${snrDb.toFixed(2)} dB` : "inf dB");
        const links = cell("", "");
        const button = (label, name, make, type) => {
            const b = document.createElement("button");
            b.type = "button";
            b.className = "button";
            b.textContent = label;
            b.title = `Save ${name}`;
            b.dataset.file = name;
            b.addEventListener("click", () => saveBytes(make(), name, type));
            links.append(b);
        };
        button(".nbz", files.nbz, () => s.stream, "application/octet-stream");
        button(".wav", files.wav, () => wavBytes(s.decoded, r.rate), "audio/wav");
    }
}

let redraw = 0;
new ResizeObserver(() => {
    cancelAnimationFrame(redraw);
    redraw = requestAnimationFrame(draw);
}).observe($("results"));

$("colour-bar").style.background = colourGradient();
setBusy(false);
