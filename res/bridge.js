// Injected into every page before its own scripts. Defines `view`, the page's door to
// native code: view.name(args...) returns a Promise of the native answer. Functions among
// the arguments cross as callback ids that native code may invoke later, any number of
// times, until the page goes away. Link clicks and drags of movable elements are reported
// here too, so no page has to remember them.
(() => {
    'use strict';
    if (window.__varnel_bridge)
        return;

    const channel = window.webkit.messageHandlers.view;
    const CALLBACK_KEY = '__varnel_callback';
    const MAX_DEPTH = 32;
    const callbacks = new Map();
    let nextCallback = 1;

    function encode(value, depth) {
        if (typeof value === 'function') {
            const id = nextCallback++;
            callbacks.set(id, value);
            return { [CALLBACK_KEY]: id };
        }
        if (value === undefined)
            return null;
        if (value === null || typeof value !== 'object' || depth > MAX_DEPTH)
            return value;
        if (Array.isArray(value))
            return value.map((item) => encode(item, depth + 1));
        const result = {};
        for (const key of Object.keys(value))
            result[key] = encode(value[key], depth + 1);
        return result;
    }

    function post(message) {
        return channel.postMessage(JSON.stringify(message));
    }

    function report(message) {
        post(message).catch(() => {});
    }

    // Global functions are found through window, so page namespaces are declared with
    // `var` or assigned to window.
    function resolve(name) {
        let owner = window;
        let target = window;
        for (const part of name.split('.')) {
            if (target === null || target === undefined)
                return null;
            owner = target;
            target = target[part];
        }
        return typeof target === 'function' ? { owner, target } : null;
    }

    async function apply(found, argsText) {
        if (!found)
            return JSON.stringify({ found: false });
        const args = JSON.parse(argsText);
        const value = await found.target.apply(found.owner, Array.isArray(args) ? args : [args]);
        return JSON.stringify({ found: true, value: value === undefined ? null : value });
    }

    const bridge = Object.freeze({
        call: (name, argsText) => apply(resolve(name), argsText),
        invoke: (id, argsText) => {
            const target = callbacks.get(id);
            return apply(target ? { owner: window, target } : null, argsText);
        },
    });
    Object.defineProperty(window, '__varnel_bridge', { value: bridge });

    const view = new Proxy(Object.create(null), {
        get(target, name) {
            // `then` stays undefined so that awaiting `view` itself does not call native code.
            if (typeof name !== 'string' || name === 'then')
                return undefined;
            return (...args) => post({ kind: 'call', name, args: encode(args, 0) });
        },
    });
    Object.defineProperty(window, 'view', { value: view });

    // Capture phase: seen before any page handler, and the engine never follows the link.
    document.addEventListener('click', (event) => {
        const element = event.target instanceof Element ? event.target.closest('[href]') : null;
        if (!element)
            return;
        event.preventDefault();
        report({ kind: 'link', href: element.getAttribute('href') || '', auth: element.getAttribute('auth') || '' });
    }, true);

    document.addEventListener('mousedown', (event) => {
        if (event.button !== 0 || !(event.target instanceof Element))
            return;
        if (event.target.closest('[type="movable"]'))
            report({ kind: 'move' });
    }, true);
})();
