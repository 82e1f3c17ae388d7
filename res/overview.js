'use strict';
document.addEventListener('DOMContentLoaded', () => resize());
