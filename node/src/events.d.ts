export type * from './schema-types.generated.js';
import type { DetectorEvent } from './schema-types.generated.js';

export type EventType = DetectorEvent['type'];

/** The event types the schema knows, in its order. */
export declare const EVENT_TYPES: readonly EventType[];

export interface ValidationError {
  instancePath: string;
  schemaPath: string;
  keyword: string;
  params: Record<string, unknown>;
  message?: string;
}

/** Whether a parsed line is an event the schema accepts; if not, `errors` says why. */
export declare const validateEvent: {
  (data: unknown): data is DetectorEvent;
  errors?: ValidationError[] | null;
};
