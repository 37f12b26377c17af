// The event types and their validator, for code that runs outside Node too (renderer, preload):
// nothing here or below imports a module.
export { validate as validateEvent, EVENT_TYPES } from './validate.generated.js';
