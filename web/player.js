// Playing the original and the streams' reconstructions in step: all of
// them run at once, and the one listened to is the only one turned up, so
// that switching keeps the position and needs no restart.

"use strict";

// A switch between versions fades over this long, to avoid a click.
const SWITCH_SECONDS = 0.008;

function createPlayer({ onEnded = () => {} } = {}) {
    let context = null;
    let versions = {};  // name -> { buffer, gain: matched gain, node: GainNode }
    let selected = null;
    let running = null;  // { sources, startedAt, offset } while playing
    let offset = 0;      // the position while paused, in seconds
    let duration = 0;
    let loop = { enabled: false, start: 0, end: 0 };
    let matchLevels = true;

    // The audio context and each version's gain, made at the first play
    // (a context made before the user asks for sound starts suspended).
    function ensureContext() {
        if (!context) context = new AudioContext();
        for (const v of Object.values(versions)) {
            if (v.node) continue;
            v.node = context.createGain();
            v.node.gain.value = 0;
            v.node.connect(context.destination);
        }
        return context;
    }

    // Loads the versions ({ name: Int16Array }) at `rate`, with the gain
    // that matches each one's level to the first.
    function load(samples, rate) {
        stop();
        for (const v of Object.values(versions)) if (v.node) v.node.disconnect();
        versions = {};
        const names = Object.keys(samples);
        const levelOf = (pcm) => Math.sqrt(pcm.reduce((sum, v) => sum + v * v, 0) / Math.max(1, pcm.length));
        const reference = levelOf(samples[names[0]]);
        for (const name of names) {
            const pcm = samples[name];
            const buffer = new AudioBuffer({ length: Math.max(1, pcm.length), sampleRate: rate });
            const data = buffer.getChannelData(0);
            for (let i = 0; i < pcm.length; ++i) data[i] = pcm[i] / 32768;
            const level = levelOf(pcm);
            const gain = level > 0 && reference > 0 ? Math.min(2, Math.max(0.5, reference / level)) : 1;
            versions[name] = { buffer, gain, node: null };
        }
        duration = samples[names[0]].length / rate;
        selected = selected in versions ? selected : names[0];
        offset = 0;
    }

    function gainOf(name) {
        if (name !== selected) return 0;
        return matchLevels ? versions[name].gain : 1;
    }

    function applyGains(fade) {
        if (!context) return;
        const now = context.currentTime;
        for (const [name, v] of Object.entries(versions)) {
            if (!v.node) continue;
            v.node.gain.cancelScheduledValues(now);
            if (fade > 0) v.node.gain.setTargetAtTime(gainOf(name), now, fade / 3);
            else v.node.gain.setValueAtTime(gainOf(name), now);
        }
    }

    const looping = () => loop.enabled && loop.end > loop.start;

    // The position in seconds, within the loop while it runs.
    function position() {
        if (!running) return offset;
        let t = running.offset + Math.max(0, context.currentTime - running.startedAt);
        if (looping() && t >= loop.end) t = loop.start + ((t - loop.start) % (loop.end - loop.start));
        return Math.min(t, duration);
    }

    function play() {
        if (running || !duration) return;
        const ctx = ensureContext();
        // Runs when the browser lets it (at once after a click); the
        // position follows the context's clock, which waits until then.
        ctx.resume().catch(() => {});
        let from = offset >= duration ? 0 : offset;
        if (looping() && (from < loop.start || from >= loop.end)) from = loop.start;
        const startedAt = ctx.currentTime + 0.02;
        const sources = Object.values(versions).map((v) => {
            const source = ctx.createBufferSource();
            source.buffer = v.buffer;
            source.loop = looping();
            source.loopStart = loop.start;
            source.loopEnd = loop.end;
            source.connect(v.node);
            source.start(startedAt, from);
            return source;
        });
        running = { sources, startedAt, offset: from };
        sources[0].onended = () => {
            if (!running || running.sources !== sources) return;
            running = null;
            offset = 0;
            onEnded();
        };
        applyGains(0);
    }

    function stop() {
        if (!running) return;
        const { sources } = running;
        offset = position();
        running = null;
        for (const s of sources) {
            s.onended = null;
            s.stop();
        }
    }

    // Moves to `seconds`, playing on from there if playing.
    function seek(seconds) {
        const wasRunning = Boolean(running);
        stop();
        offset = Math.min(Math.max(0, seconds), duration);
        if (wasRunning) play();
    }

    function select(name) {
        selected = name;
        applyGains(SWITCH_SECONDS);
    }

    function setMatchLevels(on) {
        matchLevels = on;
        applyGains(SWITCH_SECONDS);
    }

    // A loop over start..end seconds (taken when play starts again).
    function setLoop(enabled, start, end) {
        loop = { enabled, start: Math.max(0, start), end: Math.min(duration, end) };
        if (running) seek(position());
    }

    return {
        load,
        play,
        pause: stop,
        seek,
        select,
        setMatchLevels,
        setLoop,
        position,
        get playing() {
            return Boolean(running);
        },
        get duration() {
            return duration;
        },
        get selected() {
            return selected;
        },
        get contextState() {
            return context ? context.state : "none";
        },
        gainDb: (name) => 20 * Math.log10(versions[name] ? versions[name].gain : 1),
    };
}
