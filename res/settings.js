'use strict';
document.addEventListener('DOMContentLoaded', () => resize_page());
