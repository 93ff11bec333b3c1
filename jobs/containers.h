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
bool anyContentFailed(const JobList* list, const Job* job);
