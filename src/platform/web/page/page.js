// The page around the program (velvoria.js): loading progress, the start
// button, the music's decoding, fullscreen and keys, and document.title,
// which tells links and tests what the program is doing:
//   index.html#at=T   one still frame of demo time T: "velvoria: ready"
//   index.html        "velvoria: loaded" with the start button, then
//                     "velvoria: playing T", and "velvoria: ended"
// and "velvoria: error: MESSAGE" when it cannot go on (a bad #at=, a file
// the server does not give, no WebGL 2). &size=WxH (or #size=WxH) renders
// at that size instead of the element's; #glcheck reads GL's error state
// after every frame (see WebMain.cpp).
// Opened from disk (file:), where most browsers refuse the page its own
// files, it says how to serve it instead; on a touch screen its hint names
// taps and a tap on the picture shows Stop and Fullscreen controls; in
// fullscreen it says that Escape leaves fullscreen first.
(function () {
    'use strict';

    // Demo::musicFile; the program finds it among the decoded buffers.
    const musicFile = 'Data/zandol_and_Pemrix-Vorth_Speaks.mp3';

    const canvas = document.getElementById('canvas');
    const stage = document.getElementById('stage');
    const overlay = document.getElementById('overlay');
    const status = document.getElementById('status');
    const progress = document.getElementById('progress');
    const start = document.getElementById('start');
    const message = document.getElementById('message');
    const hint = document.getElementById('hint');
    const note = document.getElementById('note');
    const controls = document.getElementById('controls');
    const stopButton = document.getElementById('stop');
    const fullscreenButton = document.getElementById('fullscreen');
    const version = document.getElementById('version');

    const fromDisk = location.protocol === 'file:';
    const serveCommand = 'python3 -m http.server 8000';
    // A phone or a tablet (or the first touch on any screen): taps, not keys.
    let touch = !!(window.matchMedia && matchMedia('(pointer: coarse)').matches);
    // The build writes its version into the page; a page that was not built has none.
    if (version.textContent.indexOf('@') >= 0) version.hidden = true;

    const hash = new URLSearchParams(location.hash.slice(1));
    const at = hash.get('at');
    const still = at !== null;
    const programArguments = [];
    if (still) programArguments.push('--at', at);
    if (hash.get('size') !== null) programArguments.push('--size', hash.get('size'));
    if (hash.has('glcheck')) programArguments.push('--check-gl-errors');

    let failed = false;
    let playing = false;
    let programLoaded = false;
    let musicLoaded = false;
    const loading = { program: [0, 1], music: [0, 1] };  // bytes done, of

    function title(text) { document.title = 'velvoria: ' + text; }

    function fail(text) {
        if (failed) return;
        failed = true;
        playing = false;
        title('error: ' + text);
        overlay.hidden = false;
        status.hidden = progress.hidden = start.hidden = hint.hidden = true;
        message.textContent = text;
        message.hidden = false;
    }

    // A file of the page that could not be had. From disk that is the
    // browser's refusal, whatever it calls it ("Failed to fetch", "Script
    // error."): the page says what helps instead, the cause in small print.
    function loadFailed(text) {
        if (!fromDisk) return fail(text);
        const words = ['Opened from disk, this browser does not let the page load its own files.' +
                       ' Serve its folder over HTTP instead: in the folder that holds index.html, run',
                       'and open http://localhost:8000/'];
        fail(words[0] + ' ' + serveCommand + ' ' + words[1]);
        const code = document.createElement('code');
        code.textContent = serveCommand;
        const detail = document.createElement('div');
        detail.className = 'detail';
        detail.textContent = '(' + text + ')';
        message.textContent = '';
        message.append(words[0], code, words[1], detail);
    }

    function fullscreenElement() {
        return document.fullscreenElement || document.webkitFullscreenElement || null;
    }

    // What the viewer can do, in the words of the device: the start
    // screen's hint, and the note shown over the picture in fullscreen.
    function controlText() {
        const full = fullscreenElement() !== null;
        if (touch) return 'Tap the picture while it plays: Stop, ' + (full ? 'Leave fullscreen.' : 'Fullscreen.');
        if (full) return 'F or double-click: leave fullscreen. Escape leaves fullscreen first; a second Escape stops.';
        return 'F or double-click: fullscreen. Escape: stop.';
    }

    function showHint() { hint.textContent = 'With sound. ' + controlText(); }

    let noteTimer = null;
    function showNote(text) {
        note.textContent = text;
        note.hidden = false;
        clearTimeout(noteTimer);
        noteTimer = setTimeout(function () { note.hidden = true; }, 5000);
    }

    let controlsTimer = null;
    function showControls() {
        fullscreenButton.textContent = fullscreenElement() ? 'Leave fullscreen' : 'Fullscreen';
        controls.hidden = false;
        clearTimeout(controlsTimer);
        controlsTimer = setTimeout(function () { controls.hidden = true; }, 5000);
    }

    function showProgress() {
        const done = loading.program[0] + loading.music[0];
        const total = loading.program[1] + loading.music[1];
        progress.value = total > 0 ? done / total : 0;
    }

    function offerStart(label) {
        if (failed || !programLoaded || !musicLoaded) return;
        status.textContent = 'Velvoria by Orvanth';
        progress.hidden = true;
        start.textContent = label;
        showHint();
        start.hidden = hint.hidden = false;
        overlay.hidden = false;
        start.focus();
        if (document.title === 'velvoria: loading') title('loaded');
    }

    // The program's reports (see WebPage.h).
    function event(name, detail) {
        if (name === 'error') {
            fail(detail);
        } else if (name === 'ready') {
            title('ready');
        } else if (name === 'loaded') {
            programLoaded = true;
            offerStart('Start');
        } else if (name === 'playing') {
            title('playing ' + detail);
        } else if (name === 'ended') {
            playing = false;
            note.hidden = controls.hidden = true;
            title('ended');
            if (document.fullscreenElement) document.exitFullscreen().catch(function () {});
            offerStart('Watch again');
        }
    }

    window.Module = {
        canvas: canvas,
        arguments: programArguments,
        velvoriaEvent: event,
        // What the program's own WebAudio player plays from.
        velvoriaMusic: { context: null, buffers: {}, source: null },
        print: function (text) { console.log(text); },
        printErr: function (text) { console.warn(text); },
        // The preloaded data reports "... (done/total)".
        setStatus: function (text) {
            const m = /\((\d+)\/(\d+)\)/.exec(text || '');
            if (m) {
                loading.program = [Number(m[1]), Number(m[2])];
                showProgress();
            }
        },
        onAbort: function (what) { fail('The program stopped: ' + what); },
        // The program's code, fetched here so that a server without it is
        // named.
        instantiateWasm: function (imports, receive) {
            fetchFile('velvoria.wasm').then(function (response) {
                return response.arrayBuffer();
            }).then(function (bytes) {
                return WebAssembly.instantiate(bytes, imports);
            }).then(function (result) {
                receive(result.instance, result.module);
            }).catch(function (error) {
                loadFailed(error.message);
            });
            return {};
        },
        // Building the production holds the page for a moment: the status
        // says so first, and the program starts once it is shown.
        noInitialRun: true,
        onRuntimeInitialized: function () {
            if (failed) return;
            status.textContent = 'Preparing the pictures';
            requestAnimationFrame(function () {
                setTimeout(function () { Module.callMain(Module.arguments); }, 0);
            });
        },
    };

    // A file of the page beside it; refused with its name when the server
    // does not give it.
    function fetchFile(name) {
        return fetch(name).then(function (response) {
            if (!response.ok) {
                throw new Error(name + ' could not be loaded from the server (HTTP ' + response.status + ')');
            }
            return response;
        }, function (error) {
            throw new Error(name + ' could not be loaded from the server (' + error.message + ')');
        });
    }

    function loadProgram() {
        const script = document.createElement('script');
        script.src = 'velvoria.js';
        script.async = true;
        script.onerror = function () { loadFailed('velvoria.js could not be loaded from the server'); };
        document.body.appendChild(script);
    }

    function loadMusic() {
        status.textContent = 'Loading';
        fetchFile(musicFile).then(function (response) {
            const total = Number(response.headers.get('Content-Length')) || 2e6;
            loading.music = [0, total];
            const reader = response.body.getReader();
            const parts = [];
            function pump() {
                return reader.read().then(function (chunk) {
                    if (chunk.done) return new Blob(parts).arrayBuffer();
                    parts.push(chunk.value);
                    loading.music[0] += chunk.value.length;
                    showProgress();
                    return pump();
                });
            }
            return pump();
        }).then(function (bytes) {
            // Decoded without a running audio context: browsers start one
            // only after a click.
            const Offline = window.OfflineAudioContext || window.webkitOfflineAudioContext;
            return new Offline(2, 1, 44100).decodeAudioData(bytes);
        }).then(function (buffer) {
            Module.velvoriaMusic.buffers[musicFile] = buffer;
            musicLoaded = true;
            offerStart('Start');
        }).catch(function (error) {
            loadFailed('The music could not be loaded: ' + error.message);
        });
    }

    function toggleFullscreen() {
        if (document.fullscreenElement) {
            document.exitFullscreen().catch(function () {});
        } else if (document.webkitFullscreenElement) {
            document.webkitExitFullscreen();
        } else if (stage.requestFullscreen) {
            stage.requestFullscreen().catch(function () {});
        } else if (stage.webkitRequestFullscreen) {
            stage.webkitRequestFullscreen();
        }
    }

    // A second click (or a call) while playing changes nothing.
    start.addEventListener('click', function () {
        if (playing || failed || !programLoaded || !musicLoaded) return;
        const music = Module.velvoriaMusic;
        if (!music.context) {
            const Context = window.AudioContext || window.webkitAudioContext;
            music.context = new Context();
        }
        music.context.resume();
        overlay.hidden = true;
        playing = true;
        canvas.focus();
        Module._velvoria_start();
    });

    document.addEventListener('keydown', function (e) {
        if (still) return;
        if (e.key === 'f' || e.key === 'F') {
            toggleFullscreen();
        } else if (e.key === 'Escape' && playing) {
            Module._velvoria_stop();
        }
    });
    stage.addEventListener('dblclick', toggleFullscreen);
    // A tap on the picture while it plays shows the controls a while.
    document.addEventListener('pointerdown', function (e) {
        if (e.pointerType === 'touch' && !touch) {
            touch = true;
            showHint();
        }
    });
    stage.addEventListener('pointerup', function (e) {
        if (playing && touch && !controls.contains(e.target)) showControls();
    });
    stopButton.addEventListener('click', function () {
        controls.hidden = true;
        if (playing) Module._velvoria_stop();
    });
    fullscreenButton.addEventListener('click', function () {
        toggleFullscreen();
        controls.hidden = true;
    });
    // In fullscreen the first Escape is the browser's: it leaves
    // fullscreen. The hint and a note over the picture say so.
    function fullscreenChanged() {
        showHint();
        if (playing && fullscreenElement()) showNote(controlText());
        else note.hidden = true;
    }
    document.addEventListener('fullscreenchange', fullscreenChanged);
    document.addEventListener('webkitfullscreenchange', fullscreenChanged);
    // A hidden tab draws nothing while the music plays on; shown again, the
    // next frame is the music's time. A browser that suspended the audio
    // meanwhile is asked to resume it.
    document.addEventListener('visibilitychange', function () {
        const context = Module.velvoriaMusic.context;
        if (!document.hidden && playing && context && context.state !== 'running') context.resume();
    });
    // What the program's loader cannot report otherwise (its data package
    // missing on the server): the page says it instead of loading forever.
    // (emscripten's loader throws "STATUS : URL").
    window.addEventListener('error', function (e) {
        if (document.title !== 'velvoria: loading') return;
        const text = String(e.message || e.error);
        const file = /^(?:Uncaught )?(?:Error: )?(.*) : (\S+)$/.exec(text);
        if (file) {
            loadFailed(file[2].split('/').pop() + ' could not be loaded from the server (' + (file[1] || 'HTTP error') + ')');
        } else {
            loadFailed('The program could not start: ' + text);
        }
    });

    loadProgram();
    if (still) {
        overlay.hidden = true;
        title('loading');
    } else if (!window.AudioContext && !window.webkitAudioContext) {
        fail('This browser has no Web Audio, which Velvoria needs for its music.');
    } else {
        loadMusic();
    }
})();
