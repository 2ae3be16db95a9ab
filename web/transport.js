// The page's transport: play and pause, the version heard, matched levels,
// the loop (typed in or dragged on the waveform), the playheads and keys.

"use strict";

function createTransport(player, currentResult) {
    const get = (id) => document.getElementById(id);
    const play = get("play");
    const loop = get("loop");
    const loopStart = get("loop-start");
    const loopEnd = get("loop-end");
    const wave = get("wave-plot");
    const region = wave.querySelector(".region");
    let frame = 0;

    const seconds = (t) => `${t.toFixed(2)} s`;

    function applyLoop() {
        const start = Math.max(0, Number(loopStart.value) || 0);
        const end = Math.min(player.duration, Number(loopEnd.value) || 0);
        player.setLoop(loop.checked, start, end);
        const shown = loop.checked && end > start;
        region.hidden = !shown;
        if (shown) {
            region.style.left = `${(100 * start) / player.duration}%`;
            region.style.width = `${(100 * (end - start)) / player.duration}%`;
        }
    }

    // The playheads and the time, every frame while playing.
    function update() {
        cancelAnimationFrame(frame);
        if (!currentResult()) return;
        const t = player.position();
        const fraction = player.duration ? t / player.duration : 0;
        for (const head of document.querySelectorAll(".playhead")) {
            head.style.transform = `translateX(${fraction * head.parentElement.clientWidth}px)`;
        }
        const waiting = player.playing && player.contextState !== "running" ? " (waiting for the sound output)" : "";
        get("time").textContent = `${seconds(t)} / ${seconds(player.duration)}${waiting}`;
        play.textContent = player.playing ? "Pause" : "Play";
        play.setAttribute("aria-pressed", String(player.playing));
        play.dataset.context = player.contextState;
        if (player.playing) frame = requestAnimationFrame(update);
    }

    function toggle() {
        if (player.playing) player.pause();
        else player.play();
        update();
    }

    function choose(name) {
        const radio = document.querySelector(`input[name="version"][value="${name}"]`);
        radio.checked = true;
        player.select(name);
    }

    play.addEventListener("click", toggle);
    for (const radio of document.querySelectorAll('input[name="version"]'))
        radio.addEventListener("change", () => player.select(radio.value));
    get("match").addEventListener("change", () => player.setMatchLevels(get("match").checked));
    for (const input of [loop, loopStart, loopEnd]) input.addEventListener("change", applyLoop);

    // Click to move, drag to choose the loop.
    let dragFrom = null;
    const timeAt = (event) => {
        const box = wave.getBoundingClientRect();
        return (Math.min(Math.max(event.clientX - box.left, 0), box.width) / box.width) * player.duration;
    };
    wave.addEventListener("pointerdown", (event) => {
        dragFrom = { x: event.clientX, t: timeAt(event) };
        wave.setPointerCapture(event.pointerId);
    });
    wave.addEventListener("pointermove", (event) => {
        if (!dragFrom || Math.abs(event.clientX - dragFrom.x) < 4) return;
        const t = timeAt(event);
        loopStart.value = Math.min(t, dragFrom.t).toFixed(2);
        loopEnd.value = Math.max(t, dragFrom.t).toFixed(2);
        loop.checked = true;
        applyLoop();
    });
    wave.addEventListener("pointerup", (event) => {
        if (dragFrom && Math.abs(event.clientX - dragFrom.x) < 4) player.seek(timeAt(event));
        dragFrom = null;
        update();
    });

    document.addEventListener("keydown", (event) => {
        if (!currentResult() || event.ctrlKey || event.metaKey || event.altKey) return;
        const target = event.target;
        if (target.matches('input[type="number"], select, textarea')) return;
        if (event.key === " " && !target.matches("button")) {
            event.preventDefault();
            toggle();
        } else if (["1", "2", "3"].includes(event.key)) {
            choose(["original", "exact", "search"][Number(event.key) - 1]);
        } else if (event.key === "l" || event.key === "L") {
            loop.checked = !loop.checked;
            applyLoop();
        }
    });

    // A new result: the loop covers it all until one is chosen.
    function loaded() {
        loopStart.value = "0";
        loopEnd.value = player.duration.toFixed(2);
        loopStart.max = loopEnd.max = player.duration.toFixed(2);
        applyLoop();
        choose(player.selected || "original");
        update();
    }

    return { update, loaded };
}
