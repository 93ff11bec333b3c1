#pragma once
// Archives and archive-based documents: unpack, optimize the content as jobs
// of their own, pack again; or extract in place.
#include "jobs/job.h"

bool isContainerAction(uint8_t action);
bool isExtractAction(uint8_t action);
// Runs a container or extraction job picked by a worker (state JOB_STARTING,
// or JOB_RUNNING for a waiting container picked again). Ends the job itself
// (finishJob) unless it starts waiting for its content.
void runContainerJob(Job* job, JobList* list);
// Called under the list lock.
bool allContentFinished(const JobList* list, const Job* job);
// The first container (in list order) that waits for its content and may run
// again now, or null. Called under the list lock.
Job* firstFinishedContainer(JobList* list);
// Takes the list lock: the container waits for its content, ready to be taken
// again, and a worker is woken.
void startWaiting(JobList* list, Job* job);
bool anyContentFailed(const JobList* list, const Job* job);
// Writes a finished job's final state; content of an extraction also gives the
// extracted folders above it their archive's time once all their content is final.
void setFinalState(Job* job, uint8_t state, JobList* list);
// At shutdown, after the workers ended: what a job that never finished still
// owes its file (read-only attribute, extracted folder's time).
void settleJobAtShutdown(Job* job);
