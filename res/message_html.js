'use strict';
// Message bodies and the elements that show a message, shared by the list and the popup.
//
// A body is the provider's text with its links made into anchors, and it may carry any
// HTML at all. It is shown as HTML, but only as text markup: the page policy already keeps
// any script in it from running, and on top of that the body is parsed into an inert
// template and only plain text elements survive. Scripts, styles, frames, forms, images and
// the like go with their content (a style could restyle the window; an image would be
// fetched with the user's session); unknown elements leave their text behind; attributes
// go, except an anchor's web address and title; an anchor without one (a "javascript:"
// link) becomes its text.

var message_html = {
    // Kept, with their content.
    KEEP: new Set([
        'a', 'abbr', 'b', 'bdi', 'bdo', 'big', 'blockquote', 'br', 'caption', 'center', 'cite', 'code', 'dd',
        'del', 'dfn', 'div', 'dl', 'dt', 'em', 'font', 'h1', 'h2', 'h3', 'h4', 'h5', 'h6', 'hr', 'i', 'ins', 'kbd',
        'li', 'mark', 'nobr', 'ol', 'p', 'pre', 'q', 's', 'samp', 'small', 'span', 'strike', 'strong', 'sub', 'sup',
        'table', 'tbody', 'td', 'tfoot', 'th', 'thead', 'time', 'tr', 'tt', 'u', 'ul', 'var', 'wbr',
    ]),
    // Dropped with everything inside them.
    DROP: new Set([
        'applet', 'area', 'audio', 'base', 'basefont', 'button', 'canvas', 'datalist', 'dialog', 'embed', 'fieldset',
        'form', 'frame', 'frameset', 'head', 'iframe', 'img', 'image', 'input', 'link', 'map', 'math', 'meta',
        'meter', 'noembed', 'noframes', 'noscript', 'object', 'optgroup', 'option', 'output', 'param', 'picture',
        'portal', 'progress', 'script', 'select', 'slot', 'source', 'style', 'svg', 'template', 'textarea', 'title',
        'track', 'video', 'xmp',
    ]),
    // Page links that the program itself puts into a body (the greeting's settings link).
    PAGES: new Set(['notifications.htm', 'help.htm', 'settings.htm']),

    // The body's HTML as the children of `element`.
    fill(element, html) {
        const template = document.createElement('template');
        template.innerHTML = typeof html === 'string' ? html : '';
        this.clean(template.content);
        element.replaceChildren(template.content);
    },

    clean(parent) {
        for (const node of Array.from(parent.childNodes)) {
            if (node.nodeType === Node.TEXT_NODE)
                continue;
            if (node.nodeType !== Node.ELEMENT_NODE || node.namespaceURI !== 'http://www.w3.org/1999/xhtml') {
                node.remove();
                continue;
            }
            const name = node.localName;
            if (this.DROP.has(name)) {
                node.remove();
                continue;
            }
            this.clean(node);
            if (!this.KEEP.has(name)) {
                node.replaceWith(...node.childNodes);
                continue;
            }
            this.strip(node);
            // An anchor that leads nowhere the program opens is only its text.
            if (name === 'a' && !node.hasAttribute('href'))
                node.replaceWith(...node.childNodes);
        }
    },

    strip(element) {
        const href = element.localName === 'a' ? element.getAttribute('href') : null;
        const title = element.getAttribute('title');
        for (const attribute of Array.from(element.attributes))
            element.removeAttribute(attribute.name);
        if (title !== null)
            element.setAttribute('title', title);
        if (href !== null && this.is_link(href.trim()))
            element.setAttribute('href', href.trim());
    },

    is_link(href) {
        return /^https?:\/\//i.test(href) || this.PAGES.has(href);
    },

    // A message's icon, "icon-default.png" for none and when the address gives nothing.
    set_icon(image, address) {
        image.addEventListener('error', () => {
            if (!image.src.endsWith('icon-default.png'))
                image.src = 'icon-default.png';
        });
        image.src = typeof address === 'string' && address !== '' ? address : 'icon-default.png';
    },

    text(value) {
        return typeof value === 'string' ? value : '';
    },

    // The message element from the document's template: title, body, receiver, icon, and its
    // link, which the shell opens signed in. Without a link a click only marks it read.
    element(template, record) {
        const element = template.content.firstElementChild.cloneNode(true);
        element.dataset.id = this.text(record.id);
        const href = this.text(record.href);
        if (href !== '') {
            element.setAttribute('href', href);
            element.setAttribute('auth', 'true');
            element.setAttribute('role', 'link');
        }
        const title = this.text(record.title);
        element.querySelector('.message__title').textContent = title;
        element.setAttribute('aria-label', title);
        this.fill(element.querySelector('.message__description'), record.description);
        const receiver = element.querySelector('.message__receiver');
        receiver.textContent = this.text(record.receiver);
        receiver.hidden = receiver.textContent === '';
        this.set_icon(element.querySelector('.message__icon'), record.icon);
        return element;
    },
};
