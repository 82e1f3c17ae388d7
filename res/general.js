// Functions every page shares: window placement, the narrow layout, the header logo's
// alert, the document's focus and pointer subscriptions, and error reporting. Loaded first
// by every document (`<script src="general.js"></script>`), before the page's own script.
// Native functions are reached through `view` (the bridge), and every call returns a
// Promise, so the functions that need an answer are async.

// The size of the window that holds the document: the body's card plus its margins.
function document_size() {
    const body = document.body;
    const style = getComputedStyle(body);
    const box = body.getBoundingClientRect();
    const width = box.width + parseFloat(style.marginLeft) + parseFloat(style.marginRight);
    const height = box.height + parseFloat(style.marginTop) + parseFloat(style.marginBottom);
    return { width: Math.ceil(width), height: Math.ceil(height) };
}

// Puts the window's bottom-right corner on the bottom-right corner of the work area (the
// notifications page, the popup), sized to the document.
async function resize_page() {
    const size = document_size();
    const area = await view.get_work_area();
    await view.set_window_rect(area.right - size.width, area.bottom - size.height, size.width, size.height);
    return size;
}

// Centres the window, sized to the document, on the rectangle {left, top, right, bottom}.
async function center_on(area) {
    const size = document_size();
    const left = Math.round(area.left + (area.right - area.left - size.width) / 2);
    const top = Math.round(area.top + (area.bottom - area.top - size.height) / 2);
    await view.set_window_rect(left, top, size.width, size.height);
    return { left, top, right: left + size.width, bottom: top + size.height };
}

// Centres the window on the work area.
async function resize() {
    return center_on(await view.get_work_area());
}

// Centres the window on `area`, the parent window's rectangle.
async function resize_dialog(area) {
    return center_on(area);
}

// The narrow layout (400 px high) when the work area is less than 750 pixels high.
async function add_narrow() {
    const area = await view.get_work_area();
    const narrow = area.bottom - area.top < 750;
    document.body.classList.toggle('narrow', narrow);
    return narrow;
}

var alert_timer = null;

// Blinks the header logo (its class "active") every 300 ms until stopped.
function start_alert_new_message() {
    const logo = document.getElementById('HeaderLogo');
    if (!logo || alert_timer !== null)
        return;
    alert_timer = setInterval(() => logo.classList.toggle('active'), 300);
}

function stop_alert_new_message() {
    if (alert_timer !== null) {
        clearInterval(alert_timer);
        alert_timer = null;
    }
    const logo = document.getElementById('HeaderLogo');
    if (logo)
        logo.classList.remove('active');
}

// Native calls whose failure is of no interest to the page (the window may be going away).
function quietly(promise) {
    if (promise && typeof promise.catch === 'function')
        promise.catch(() => {});
}

var global_subscriptions = null;

// The page hides when it loses the focus and tells native code when the pointer enters or
// leaves it; the document takes the focus.
function global_ready() {
    if (global_subscriptions !== null)
        return;
    global_subscriptions = [
        [window, 'blur', () => quietly(view.window_hide())],
        [document.documentElement, 'mouseenter', () => quietly(view.on_mouse_enter())],
        [document.documentElement, 'mouseleave', () => quietly(view.on_mouse_leave())],
    ];
    for (const [target, type, handler] of global_subscriptions)
        target.addEventListener(type, handler);
    window.focus();
}

// The page is about to be left: the subscriptions of global_ready go. True: it may be left.
function on_unload_page() {
    if (global_subscriptions !== null) {
        for (const [target, type, handler] of global_subscriptions)
            target.removeEventListener(type, handler);
        global_subscriptions = null;
    }
    stop_alert_new_message();
    return true;
}

// The element hands the focus back to the document whenever it takes it while the window is
// shown, so that the document, not the element, is what loses the focus when the user
// leaves the window.
function subscribe_got_focus(element) {
    element.addEventListener('focus', () => {
        if (document.visibilityState === 'hidden')
            return;
        element.blur();
        window.focus();
    });
}

// Turns the page off while a request runs (body.disabled, nothing reacts, no keyboard
// focus can reach the content) and on again.
function set_page_enabled(enabled) {
    document.body.classList.toggle('disabled', !enabled);
    const content = document.getElementById('MainContentWrapper');
    if (content)
        content.inert = !enabled;
}

function error_text(ex) {
    if (ex instanceof Error)
        return ex.message || String(ex);
    if (ex && typeof ex === 'object' && typeof ex.message === 'string')
        return ex.message;
    return String(ex);
}

// An unexpected script failure: logged to the console and shown in the engine's own message
// box, which needs nothing from native code to appear.
function process_error(ex) {
    const text = error_text(ex);
    console.error(text, ex && ex.stack ? ex.stack : '');
    window.alert(text);
}

// The first frame of a trace: an array of {file, function, line}, or an Error whose stack
// reads "function@file:line:column".
function first_frame(trace) {
    if (Array.isArray(trace) && trace.length > 0)
        return trace[0];
    const stack = trace instanceof Error ? trace.stack : typeof trace === 'string' ? trace : null;
    if (!stack)
        return null;
    const line = stack.split('\n').find((text) => text.trim() !== '');
    const match = /^(.*?)@(.*):(\d+):\d+$/.exec(line.trim());
    if (match)
        return { file: match[2], function: match[1] || '(anonymous)', line: Number(match[3]) };
    return null;
}

// Code that should never run did: says so, with where, when a trace is given.
function unreachable(trace) {
    const frame = trace === undefined ? null : first_frame(trace);
    let text = 'Unreachable code. ';
    if (frame)
        text += `${frame.file}: ${frame.function}(${frame.line})`;
    process_error(new Error(text));
    return text;
}

// Opens the error dialog (res:error.html) with `params` ({title, message or text, proxy}) and
// resolves to its result.
function show_error(params) {
    return view.show_dialog(params);
}

window.addEventListener('error', (event) => process_error(event.error || event.message));
window.addEventListener('unhandledrejection', (event) => process_error(event.reason));
